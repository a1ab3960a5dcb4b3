#include "binding/python_file_source.h"

#include <cstring>
#include <map>

#include "binding/interpreter_lock.h"

namespace py = pybind11;

namespace {

std::string describe(PyObject* exception) {
    std::string text = Py_TYPE(exception)->tp_name;
    PyObject* message = PyObject_Str(exception);
    if (message != nullptr) {
        const char* utf8 = PyUnicode_AsUTF8(message);
        if (utf8 != nullptr && utf8[0] != '\0') text += std::string(": ") + utf8;
        Py_DECREF(message);
    }
    PyErr_Clear();
    return text;
}

// The method's result, or the Python error as error_already_set.
py::object call_method(PyObject* file, const char* name, const py::tuple& args) {
    return call_python(py::handle(file).attr(name), args);
}

// One mutex per file object that sources read; looked up and dropped with
// the interpreter lock held, and never held while Python runs.
std::shared_ptr<std::mutex> mutex_of(PyObject* file) {
    static std::mutex registry_mutex;
    static std::map<PyObject*, std::weak_ptr<std::mutex>> registry;
    const std::lock_guard<std::mutex> lock(registry_mutex);
    for (auto it = registry.begin(); it != registry.end();) {
        it = it->second.expired() ? registry.erase(it) : std::next(it);
    }
    std::shared_ptr<std::mutex> found = registry[file].lock();
    if (!found) {
        found = std::make_shared<std::mutex>();
        registry[file] = found;
    }
    return found;
}

}  // namespace

PythonReadError::PythonReadError(const std::string& message, PyObject* exception)
    : ByteSourceError(message), exception_(exception, [](PyObject* object) {
          // Dropped wherever the C++ exception ends, with or without the lock.
          if (object == nullptr || Py_IsFinalizing()) return;
          const LockHeld held;
          Py_DECREF(object);
      }) {}

PyObject* PythonReadError::exception() const {
    Py_XINCREF(exception_.get());
    return exception_.get();
}

PythonFileSource::PythonFileSource(py::object file, std::string name, size_t read_size,
                                   std::string identity, bool owned)
    : file_(file.release().ptr()),
      file_mutex_(mutex_of(file_)),
      name_(std::move(name)),
      read_size_(read_size),
      identity_(std::move(identity)),
      owned_(owned) {
    try {
        check_and_measure();
    } catch (...) {
        if (owned_) {
            try {
                call_method(file_, "close", py::tuple());
            } catch (py::error_already_set&) {
            }
        }
        Py_DECREF(file_);
        throw;
    }
}

void PythonFileSource::check_and_measure() {
    const py::handle handle(file_);
    const py::object io = import_module("io");
    if (py::isinstance(handle, io.attr("TextIOBase")))
        throw py::type_error("the file object must be opened in binary mode, not text mode: " +
                             name_);
    if (py::hasattr(handle, "seekable") &&
        !call_method(file_, "seekable", py::tuple()).cast<bool>())
        throw py::value_error(
            "the file object is not seekable (mbgauge reads a video more than once; read a "
            "stream into io.BytesIO or a file first): " + name_);
    size_ = call_method(file_, "seek", py::make_tuple(0, 2)).cast<int64_t>();
    call_method(file_, "seek", py::make_tuple(0, 0));
}

PythonFileSource::~PythonFileSource() {
    // Taking the lock while the interpreter exits never returns; the file
    // is left to the exiting process then.
    if (Py_IsFinalizing()) return;
    const LockHeld held;
    if (owned_) {
        try {
            call_method(file_, "close", py::tuple());
        } catch (py::error_already_set&) {
            // Closing a file that was only read: nothing was lost.
        }
    }
    Py_DECREF(file_);
}

size_t PythonFileSource::read_at(int64_t offset, uint8_t* buffer, size_t size) {
    if (Py_IsFinalizing()) throw ByteSourceError("the interpreter is exiting");
    std::unique_lock<std::mutex> one_step(*file_mutex_, std::defer_lock);
    if (PyGILState_Check() && !one_step.try_lock()) {
        // Never wait for the mutex holding the interpreter lock: its holder
        // may be waiting for that lock.
        const LockReleased released;
        one_step.lock();
    } else if (!one_step.owns_lock()) {
        one_step.lock();
    }
    const LockHeld held;
    try {
        call_method(file_, "seek", py::make_tuple(offset, 0));
        const py::handle handle(file_);
        if (py::hasattr(handle, "readinto")) {
            py::object view = py::reinterpret_steal<py::object>(PyMemoryView_FromMemory(
                reinterpret_cast<char*>(buffer), static_cast<Py_ssize_t>(size), PyBUF_WRITE));
            if (!view) throw py::error_already_set();
            py::object count = call_method(file_, "readinto", py::make_tuple(view));
            // The file object must not keep a way into FFmpeg's buffer.
            call_python(view.attr("release"), py::tuple());
            if (count.is_none()) throw py::value_error("readinto returned None (no data ready)");
            const auto got = count.cast<int64_t>();
            if (got < 0 || static_cast<uint64_t>(got) > size)
                throw py::value_error("readinto returned " + std::to_string(got));
            return static_cast<size_t>(got);
        }
        py::object data = call_method(file_, "read", py::make_tuple(size));
        if (!PyBytes_Check(data.ptr()))
            throw py::type_error("read() returned " +
                                 std::string(Py_TYPE(data.ptr())->tp_name) + ", not bytes");
        const auto got = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));
        if (got > size) throw py::value_error("read() returned more bytes than asked for");
        std::memcpy(buffer, PyBytes_AS_STRING(data.ptr()), got);
        return got;
    } catch (py::error_already_set& error) {
        PyObject* exception = error.value().inc_ref().ptr();
        const std::string message = "Cannot read " + name_ + " at byte " +
                                    std::to_string(offset) + ": " + describe(exception);
        throw PythonReadError(message, exception);
    } catch (py::builtin_exception& error) {
        throw PythonReadError("Cannot read " + name_ + " at byte " + std::to_string(offset) +
                                  ": " + error.what(),
                              nullptr);
    }
}

void raise_read_error(const ByteSourceError& error) {
    const auto* python = dynamic_cast<const PythonReadError*>(&error);
    PyObject* cause = python != nullptr ? python->exception() : nullptr;
    // Ctrl-C, SystemExit and the like stay what they are.
    if (cause != nullptr && !PyObject_IsInstance(cause, PyExc_Exception)) {
        PyErr_SetRaisedException(cause);
        return;
    }
    PyObject* raised = PyObject_CallFunction(PyExc_OSError, "s", error.what());
    if (raised == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    if (cause != nullptr) PyException_SetCause(raised, cause);
    PyErr_SetRaisedException(raised);
}
