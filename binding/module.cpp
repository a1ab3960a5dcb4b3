#include <cerrno>

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

extern "C" {
#include <libavutil/error.h>
}

#include "binding/ffmpeg_log.h"
#include "binding/frame_queries.h"
#include "binding/interpreter_lock.h"
#include "binding/python_file_source.h"
#include "binding/session_opening.h"
#include "session/ffmpeg_error.h"
#include "session/h264_decoder_session.h"

namespace py = pybind11;

namespace {

using SessionClass = py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>;

// A read-only property whose getter carries the property's name, so that
// Python's "property 'width' of 'H264DecoderSession' object has no setter"
// names it (a plain def_readonly getter is nameless), and whose docstring
// help() shows.
template <typename Value>
void read_only(SessionClass& cls, const char* name, Value (H264DecoderSession::*getter)() const,
               const char* doc) {
    cls.def_property_readonly(
        name,
        py::cpp_function([getter](const H264DecoderSession& session) -> Value {
            return (session.*getter)();
        }, py::name(name), py::is_method(cls), py::return_value_policy::copy, doc));
}

// Exceptions for an input that cannot be opened because it is missing,
// unreadable or a directory: each is the matching OSError subclass and a
// RuntimeError, which is what every failure to open was before.
struct OpenErrorClasses {
    py::object not_found;
    py::object permission;
    py::object is_a_directory;
};

py::object make_open_error_class(py::module_& m, const char* name, PyObject* os_error,
                                 const char* doc) {
    const std::string qualified = std::string("mbgauge.") + name;
    py::object bases = py::make_tuple(py::handle(os_error), py::handle(PyExc_RuntimeError));
    py::object cls = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr));
    if (!cls) throw py::error_already_set();
    m.attr(name) = cls;
    return cls;
}

OpenErrorClasses& open_error_classes(py::module_* m = nullptr) {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<OpenErrorClasses> storage;
    return storage
        .call_once_and_store_result([m]() {
            return OpenErrorClasses{
                make_open_error_class(*m, "InputNotFoundError", PyExc_FileNotFoundError,
                                      "The input file does not exist."),
                make_open_error_class(*m, "InputPermissionError", PyExc_PermissionError,
                                      "The input file may not be read."),
                make_open_error_class(*m, "InputIsADirectoryError", PyExc_IsADirectoryError,
                                      "The input path names a directory.")};
        })
        .get_stored();
}

void raise_open_error(const InputOpenError& error) {
    const int code = AVUNERROR(error.error_code());
    const OpenErrorClasses& classes = open_error_classes();
    const py::object* cls = code == ENOENT                     ? &classes.not_found
                            : code == EACCES || code == EPERM ? &classes.permission
                            : code == EISDIR                   ? &classes.is_a_directory
                                                               : nullptr;
    if (cls == nullptr) {
        py::set_error(PyExc_RuntimeError, error.what());
        return;
    }
    // One argument keeps str() the message itself; errno is set on its own.
    py::object exception = (*cls)(error.what());
    exception.attr("errno") = code;
    py::set_error(*cls, exception);
}

}  // namespace

// The module keeps per-process FFmpeg state and is not made for
// sub-interpreters; the version guard comes with the module macro.
PYBIND11_MODULE(mbgauge, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Native in-memory H.264 decoder & QP/Macroblock extractor";
    install_ffmpeg_log_callback();
    prepare_numpy_if_imported();

    open_error_classes(&m);
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const InputOpenError& error) {
            raise_open_error(error);
        } catch (const SessionClosedError& error) {
            py::set_error(PyExc_ValueError, error.what());
        } catch (const ByteSourceError& error) {
            raise_read_error(error);
        }
    });

    using Session = H264DecoderSession;
    SessionClass cls(m, "H264DecoderSession",
                     "One opened video file; frames are addressed by display-order index. "
                     "Decodes H.264, HEVC, MPEG-1/2/4, VP8/VP9 and AV1 (DecoderSession is the "
                     "same class).");
    cls.def(py::init(&open_session), py::arg("path"), py::kw_only(),
            py::arg("motion_vectors") = false, py::arg("read_size") = kDefaultReadSize);
    read_only(cls, "width", &Session::width, "Picture width in luma samples.");
    read_only(cls, "height", &Session::height, "Picture height in luma samples.");
    read_only(cls, "mb_cols", &Session::mb_cols, "Columns of 16x16 macroblocks.");
    read_only(cls, "mb_rows", &Session::mb_rows, "Rows of 16x16 macroblocks.");
    read_only(cls, "num_frames", &Session::num_frames,
              "Number of frames, indexed 0 .. num_frames - 1 in display order.");
    read_only(cls, "fps", &Session::fps, "Frame rate, fps_num / fps_den.");
    read_only(cls, "fps_num", &Session::fps_num, "Numerator of the frame rate.");
    read_only(cls, "fps_den", &Session::fps_den, "Denominator of the frame rate.");
    read_only(cls, "pix_fmt", &Session::pix_fmt,
              "FFmpeg's name of the pixel format, e.g. 'yuv420p'.");
    read_only(cls, "bytes_per_sample", &Session::bytes_per_sample,
              "Bytes per plane sample: 1, or 2 for streams deeper than 8 bits.");
    read_only(cls, "codec", &Session::codec,
              "FFmpeg's name of the stream's codec, e.g. 'h264', 'hevc', 'vp9'.");
    read_only(cls, "motion_vectors", &Session::motion_vectors,
              "True when the session was opened with motion_vectors=True.");
    cls.def_property_readonly("closed", &Session::closed, "True once close() was called.")
        .def("close", &Session::close, py::call_guard<LockReleased>(),
             "Release the file and the decoder; later frame queries raise ValueError")
        .def("__enter__", [](std::shared_ptr<Session> self) { return self; })
        .def("__exit__",
             [](Session& self, const py::object&, const py::object&, const py::object&) {
                 const LockReleased released;
                 self.close();
             },
             py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
        .def("get_qpmap", &get_qpmap, py::arg("frame_idx"),
             "Get QP map for frame as (mb_rows, mb_cols) int8 array")
        .def("get_qp_blocks", &get_qp_blocks, py::arg("frame_idx"),
             "Get the frame's QP blocks as a structured array (x, y, w, h, qp: int32, luma "
             "samples; qp is the frame's base plus the block's delta, unclamped)")
        .def("get_motion_vectors", &get_motion_vectors, py::arg("frame_idx"),
             "Get the frame's motion vectors as a structured array with FFmpeg's AVMotionVector "
             "fields; empty for intra pictures (needs motion_vectors=True)")
        .def("get_plane_data", &get_plane_data, py::arg("frame_idx"), py::arg("plane"),
             "Get raw plane data (h, stride) for nodeblock frame")
        .def("get_chroma_qp_offset", &get_chroma_qp_offset, py::arg("frame_idx"),
             "Get PPS chroma QP offsets (cb_offset, cr_offset) for frame")
        .def("copy_plane_to_ptr", &copy_plane_to_ptr, py::arg("frame_idx"), py::arg("plane"),
             py::arg("dst_ptr"), py::arg("dst_stride"),
             "Copy plane data directly into destination pointer and stride (zero Python overhead)")
        .def("get_frame_format", &get_frame_format, py::arg("frame_idx"),
             "The frame's own (width, height, pix_fmt): after a mid-stream change of size or "
             "format these differ from the session's properties, which describe the first frames")
        .def("get_qpmaps", &get_qpmaps, py::arg("frames"),
             "QP maps of several frames as a (len(frames), mb_rows, mb_cols) int8 array; "
             "frames in any order, repeats allowed, each decoded once")
        .def("get_chroma_qp_offsets", &get_chroma_qp_offsets, py::arg("frames"),
             "PPS chroma QP offsets of several frames as a (len(frames), 2) int32 array of "
             "(cb_offset, cr_offset)")
        .def("get_planes", &get_planes, py::arg("frames"), py::arg("plane"),
             "One plane of several nodeblock frames as a (len(frames), height, width) array of "
             "the visible picture, uint8 or uint16")
        .def("frame_table", &frame_table,
             "Per-frame facts from the packet index, without decoding: a structured array with "
             "fields pts, time, key, pict_type, packet_size, width, height");
    // The class serves every codec FFmpeg decodes with exported encoding
    // parameters, not only H.264: the codec-neutral name is the same object.
    m.attr("DecoderSession") = cls;
}
