#include <pybind11/pybind11.h>

#include "binding/frame_queries.h"
#include "session/h264_decoder_session.h"

namespace py = pybind11;

// The module keeps per-process FFmpeg state and is not made for
// sub-interpreters; the version guard comes with the module macro.
PYBIND11_MODULE(mbgauge, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Native in-memory H.264 decoder & QP/Macroblock extractor";

    py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>(m, "H264DecoderSession")
        .def(py::init<const std::string&, bool>(), py::arg("path"), py::kw_only(),
             py::arg("motion_vectors") = false)
        .def_readonly("width", &H264DecoderSession::width)
        .def_readonly("height", &H264DecoderSession::height)
        .def_readonly("mb_cols", &H264DecoderSession::mb_cols)
        .def_readonly("mb_rows", &H264DecoderSession::mb_rows)
        .def_readonly("num_frames", &H264DecoderSession::num_frames)
        .def_readonly("fps", &H264DecoderSession::fps)
        .def_readonly("fps_num", &H264DecoderSession::fps_num)
        .def_readonly("fps_den", &H264DecoderSession::fps_den)
        .def_readonly("pix_fmt", &H264DecoderSession::pix_fmt)
        .def_readonly("bytes_per_sample", &H264DecoderSession::bytes_per_sample)
        .def_readonly("motion_vectors", &H264DecoderSession::motion_vectors)
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
