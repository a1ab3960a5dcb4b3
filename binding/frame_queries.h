#pragma once

#include <cstdint>
#include <string>
#include <tuple>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "binding/session_caster.h"
#include "session/h264_decoder_session.h"

namespace py = pybind11;

py::array_t<int8_t> get_qpmap(H264DecoderSession& session, const FrameIndex& frame_idx);
py::array get_qp_blocks(H264DecoderSession& session, const FrameIndex& frame_idx);
py::array get_motion_vectors(H264DecoderSession& session, const FrameIndex& frame_idx);
py::object get_plane_data(H264DecoderSession& session, const FrameIndex& frame_idx, int plane);
std::tuple<int, int> get_chroma_qp_offset(H264DecoderSession& session, const FrameIndex& frame_idx);
void copy_plane_to_ptr(H264DecoderSession& session, const FrameIndex& frame_idx, int plane,
                       uint64_t dst_ptr, int dst_stride);
std::tuple<int, int, std::string> get_frame_format(H264DecoderSession& session,
                                                   const FrameIndex& frame_idx);

// Batch queries: `frames` is any sequence or 1-D integer array of display
// indices, in any order, with repeats; row k of the result belongs to
// frames[k]. Each frame is decoded once, in ascending order.
py::array_t<int8_t> get_qpmaps(H264DecoderSession& session, const py::handle& frames);
py::array_t<int32_t> get_chroma_qp_offsets(H264DecoderSession& session, const py::handle& frames);
py::array get_planes(H264DecoderSession& session, const py::handle& frames, int plane);

// The block structure of a frame (one row per H.264 macroblock or HEVC
// coding unit), and of several frames as one array with a leading `frame`
// field, rows in the order of `frames`. Raise RuntimeError when the FFmpeg
// the module runs on cannot export it, ValueError for a session opened
// without it.
py::array get_coding_blocks(H264DecoderSession& session, const FrameIndex& frame_idx);
py::array get_coding_blocks_batch(H264DecoderSession& session, const py::handle& frames);

// One row per frame, from the packet index alone: pts, time, key,
// pict_type, packet_size, width, height.
py::array frame_table(const H264DecoderSession& session);
