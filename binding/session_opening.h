#pragma once

#include <pybind11/pybind11.h>

#include "session/h264_decoder_session.h"

namespace py = pybind11;

// The session for a path given as str, bytes or any os.PathLike, a URL that
// fsspec knows (through mbgauge_tools.remote), or a binary file object read
// `read_size` bytes at a time. The file is
// opened and indexed without the interpreter lock, so other threads run
// meanwhile; Ctrl-C (or any signal handler that raises) abandons the open and
// its exception is raised here. A path with a NUL byte raises ValueError.
// `motion_vectors`: the session's decoder exports motion vectors.
H264DecoderSession* open_session(const py::object& source, bool motion_vectors,
                                 int64_t read_size);

// Bytes per read of a URL or file object unless the caller says otherwise:
// every read of an object store is a request.
constexpr int64_t kDefaultReadSize = int64_t{1} << 20;
