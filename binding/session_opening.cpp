#include "binding/session_opening.h"

#include <chrono>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "binding/ffmpeg_log.h"
#include "binding/interpreter_lock.h"
#include "binding/python_file_source.h"

namespace {

// The path's bytes as the operating system takes them: os.fspath, then a str
// encoded with the file system encoding (so names that are not valid UTF-8
// round-trip), bytes as they are.
std::string file_system_path(const py::object& path) {
    const bool byte_array = PyByteArray_Check(path.ptr());
    const py::object fspath = import_module("os").attr("fspath");
    py::object value;
    try {
        value = byte_array ? py::reinterpret_steal<py::object>(PyBytes_FromObject(path.ptr()))
                           : call_python(fspath, py::make_tuple(path));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        throw py::type_error("path must be str, bytes or os.PathLike, not " +
                             py::str(py::type::handle_of(path).attr("__name__")).cast<std::string>());
    }
    py::bytes encoded = PyUnicode_Check(value.ptr())
                            ? py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(value.ptr()))
                            : py::bytes(value);
    if (!encoded) throw py::error_already_set();
    std::string bytes = encoded;
    // libavformat would open the name up to the first NUL: another file.
    if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte in path");
    return bytes;
}

// A str that starts with a URL scheme ("s3://", "https://", ...).
bool looks_like_url(const py::object& path) {
    if (!PyUnicode_Check(path.ptr())) return false;
    const std::string text = path.cast<std::string>();
    const size_t colon = text.find("://");
    if (colon == std::string::npos || colon < 2) return false;
    for (size_t i = 0; i < colon; ++i) {
        const char c = text[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!letter && (i == 0 || !other)) return false;
    }
    return true;
}

// A file object rather than a path: anything with read() or readinto() that
// is not a str, bytes or os.PathLike.
bool is_file_object(const py::object& source) {
    if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr()) ||
        PyByteArray_Check(source.ptr()) || py::hasattr(source, "__fspath__"))
        return false;
    return py::hasattr(source, "read") || py::hasattr(source, "readinto");
}

// What names a file object in messages: its `name` (a path or URL) when it
// has a str one, else its repr.
std::string file_object_name(const py::object& file) {
    if (py::hasattr(file, "name")) {
        const py::object name = file.attr("name");
        if (PyUnicode_Check(name.ptr()) && !name.cast<std::string>().empty())
            return name.cast<std::string>();
    }
    return py::repr(file).cast<std::string>();
}

// Runs without the interpreter lock on the opening thread; now and then takes
// the lock back for a moment to run Python's signal handlers. Calls from any
// other thread only report what was found.
class SignalWatch {
public:
    void release() {
        owner_ = std::this_thread::get_id();
        state_ = PyEval_SaveThread();
    }
    void reacquire() {
        take_lock_back(state_);
        state_ = nullptr;
    }

    bool interrupted() {
        if (raised_ != nullptr) return true;
        if (std::this_thread::get_id() != owner_) return false;
        // A call after a long pause follows a blocking read, which a signal
        // may have cut short (EINTR): check at once, or FFmpeg reads again and
        // blocks with the signal already spent.
        const auto now = std::chrono::steady_clock::now();
        const bool after_pause = now - last_call_ >= kCheckInterval;
        last_call_ = now;
        if (!after_pause && now - last_check_ < kCheckInterval) return false;
        last_check_ = now;
        // Taking the lock while the interpreter exits never returns; give up
        // the open instead where that is already known.
        if (Py_IsFinalizing()) return true;
        take_lock_back(state_);
        if (PyErr_CheckSignals() < 0) raised_ = PyErr_GetRaisedException();
        state_ = PyEval_SaveThread();
        return raised_ != nullptr;
    }

    // With the lock held: raises what a signal handler raised, if anything.
    void raise_if_interrupted() {
        if (raised_ == nullptr) return;
        PyErr_SetRaisedException(raised_);
        raised_ = nullptr;
        throw py::error_already_set();
    }

    ~SignalWatch() { Py_XDECREF(raised_); }

private:
    static constexpr std::chrono::milliseconds kCheckInterval{50};
    PyThreadState* state_ = nullptr;
    PyObject* raised_ = nullptr;
    std::thread::id owner_;
    std::chrono::steady_clock::time_point last_check_{};
    std::chrono::steady_clock::time_point last_call_{};
};

}  // namespace

H264DecoderSession* open_session(const py::object& source, bool motion_vectors,
                                 int64_t read_size) {
    if (read_size < 1) throw py::value_error("read_size must be at least 1 byte");
    py::object path = source;
    std::shared_ptr<ByteSource> byte_source;
    std::string name;
    if (looks_like_url(source)) {
        // fsspec turns a URL into a file object, and the URL's name without
        // credentials; None when it does not know the scheme (the str is then
        // a local path, as it always was), a str for a local file.
        const py::object opened =
            call_python(import_module("mbgauge_tools.remote").attr("remote").attr("open_url"),
                        py::make_tuple(source, read_size));
        if (py::isinstance<py::tuple>(opened)) {
            const auto parts = opened.cast<py::tuple>();
            name = parts[2].cast<std::string>();
            byte_source = std::make_shared<PythonFileSource>(
                parts[0], name, static_cast<size_t>(read_size), parts[1].cast<std::string>(),
                true);
        } else if (!opened.is_none()) {
            path = opened;
        }
    } else if (is_file_object(source)) {
        name = file_object_name(source);
        byte_source = std::make_shared<PythonFileSource>(
            source, name, static_cast<size_t>(read_size), std::string(), false);
    }
    const std::string file = byte_source ? name : file_system_path(path);
    refresh_ffmpeg_log_level();
    prepare_numpy_if_imported();
    SignalWatch watch;
    std::unique_ptr<H264DecoderSession> session;
    std::exception_ptr failure;
    watch.release();
    try {
        session = std::make_unique<H264DecoderSession>(
            file, [&watch] { return watch.interrupted(); }, motion_vectors, byte_source);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // A thread ended by unwinding its stack (pthread_exit, cancellation):
        // swallowing that unwind would abort the process.
        throw;
#endif
    } catch (...) {
        failure = std::current_exception();
    }
    watch.reacquire();
    flush_ffmpeg_log();
    watch.raise_if_interrupted();
    if (failure) {
        // A signal that arrived during a blocking system call (opening a FIFO
        // that has no writer) made the call fail before any check ran.
        if (PyErr_CheckSignals() < 0) throw py::error_already_set();
        std::rethrow_exception(failure);
    }
    return session.release();
}
