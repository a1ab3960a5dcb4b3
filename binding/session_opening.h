#pragma once

#include <pybind11/pybind11.h>

#include "session/h264_decoder_session.h"

namespace py = pybind11;

// The session for a path given as str, bytes or any os.PathLike. The file is
// opened and indexed without the interpreter lock, so other threads run
// meanwhile; Ctrl-C (or any signal handler that raises) abandons the open and
// its exception is raised here. A path with a NUL byte raises ValueError.
// `motion_vectors`: the session's decoder exports motion vectors;
// `coding_blocks`: the block structure, where the FFmpeg can.
H264DecoderSession* open_session(const py::object& path, bool motion_vectors,
                                 bool coding_blocks);
