#include <pybind11/pybind11.h>

#include "binding/ffmpeg_log.h"
#include "binding/frame_queries.h"
#include "binding/session_opening.h"
#include "session/h264_decoder_session.h"

namespace py = pybind11;

namespace {

using SessionClass = py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>;

// A read-only property whose getter carries the property's name, so that
// Python's "property 'width' of 'H264DecoderSession' object has no setter"
// names it (a plain def_readonly getter is nameless).
template <typename Member>
void read_only(SessionClass& cls, const char* name, Member H264DecoderSession::*member) {
    cls.def_property_readonly(
        name,
        py::cpp_function([member](const H264DecoderSession& session) -> const Member& {
            return session.*member;
        }, py::name(name), py::is_method(cls), py::return_value_policy::copy));
}

}  // namespace

// The module keeps per-process FFmpeg state and is not made for
// sub-interpreters; the version guard comes with the module macro.
PYBIND11_MODULE(mbgauge, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Native in-memory H.264 decoder & QP/Macroblock extractor";
    install_ffmpeg_log_callback();

    SessionClass cls(m, "H264DecoderSession");
    cls.def(py::init(&open_session), py::arg("path"), py::kw_only(),
            py::arg("motion_vectors") = false);
    read_only(cls, "width", &H264DecoderSession::width);
    read_only(cls, "height", &H264DecoderSession::height);
    read_only(cls, "mb_cols", &H264DecoderSession::mb_cols);
    read_only(cls, "mb_rows", &H264DecoderSession::mb_rows);
    read_only(cls, "num_frames", &H264DecoderSession::num_frames);
    read_only(cls, "fps", &H264DecoderSession::fps);
    read_only(cls, "fps_num", &H264DecoderSession::fps_num);
    read_only(cls, "fps_den", &H264DecoderSession::fps_den);
    read_only(cls, "pix_fmt", &H264DecoderSession::pix_fmt);
    read_only(cls, "bytes_per_sample", &H264DecoderSession::bytes_per_sample);
    read_only(cls, "motion_vectors", &H264DecoderSession::motion_vectors);
    cls.def("get_qpmap", &get_qpmap, py::arg("frame_idx"),
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
}
