#include "frame_queries.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "binding/ffmpeg_log.h"

namespace {

// Decoding is the slow step, so it runs without the interpreter lock. The
// lock is taken back in plain code rather than in a (noexcept) destructor:
// at interpreter exit, Python 3.13 ends a daemon thread that asks for the
// lock by unwinding its stack, which a noexcept frame turns into an abort.
std::shared_ptr<CachedFrame> fetch_frame(H264DecoderSession& session, const FrameIndex& frame_idx) {
    // Indices beyond the session's int range are out of bounds like any other.
    if (frame_idx.value < 0 || frame_idx.value >= session.num_frames)
        throw std::out_of_range("Frame index out of bounds: " + frame_idx.text());
    std::shared_ptr<CachedFrame> record;
    std::exception_ptr failure;
    PyThreadState* const state = PyEval_SaveThread();
    try {
        record = session.get_frame(static_cast<int>(frame_idx.value));
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    // FFmpeg's messages of the call go to Python's logging however it ended.
    flush_ffmpeg_log();
    if (failure) std::rethrow_exception(failure);
    return record;
}

void check_plane(const CachedFrame& record, int plane) {
    if (plane < 0 || plane >= record.num_planes) throw std::out_of_range("Invalid plane index");
}

template <typename Sample>
py::object plane_array(const CachedFrame& record, int plane) {
    const py::ssize_t rows = record.plane_height[plane];
    const py::ssize_t cols = record.linesize[plane] / static_cast<int>(sizeof(Sample));
    py::array_t<Sample> array({rows, cols},
                              {cols * static_cast<py::ssize_t>(sizeof(Sample)),
                               static_cast<py::ssize_t>(sizeof(Sample))});
    const std::vector<uint8_t>& bytes = record.planes[plane];
    const size_t count = std::min(bytes.size(), static_cast<size_t>(array.nbytes()));
    if (count > 0) std::memcpy(array.mutable_data(), bytes.data(), count);
    return std::move(array);
}

}  // namespace

py::array_t<int8_t> get_qpmap(H264DecoderSession& session, const FrameIndex& frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    const py::ssize_t rows = record->mb_rows;
    const py::ssize_t cols = record->mb_cols;
    py::array_t<int8_t> qp_map({rows, cols}, {cols, py::ssize_t{1}});
    if (!record->qp_map.empty())
        std::memcpy(qp_map.mutable_data(), record->qp_map.data(), record->qp_map.size());
    return qp_map;
}

py::object get_plane_data(H264DecoderSession& session, const FrameIndex& frame_idx, int plane) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    check_plane(*record, plane);
    if (record->bytes_per_sample == 2) return plane_array<uint16_t>(*record, plane);
    return plane_array<uint8_t>(*record, plane);
}

std::tuple<int, int> get_chroma_qp_offset(H264DecoderSession& session, const FrameIndex& frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    return {record->cb_offset, record->cr_offset};
}

namespace {

std::string describe(int width, int height, const std::string& pix_fmt) {
    return std::to_string(width) + "x" + std::to_string(height) + " " + pix_fmt;
}

// The caller's buffer is sized from the session's properties (the first
// pictures' size and format); a picture of another size or format (a stream
// that changes mid-way) must not be written into it if it does not fit.
void check_fits_session(const H264DecoderSession& session, const CachedFrame& record,
                        const FrameIndex& frame_idx, int plane) {
    const PlaneExtent declared =
        plane_extent(session.pix_fmt, session.width, session.height, plane);
    const int64_t declared_row_bytes = int64_t{declared.columns} * session.bytes_per_sample;
    const int64_t row_bytes = int64_t{record.plane_width[plane]} * record.bytes_per_sample;
    // The caller reads the buffer in samples of the session's size: 8-bit
    // samples in a buffer of 16-bit ones (or the other way) would be garbage.
    if (record.bytes_per_sample != session.bytes_per_sample) {
        throw py::value_error(
            "Frame " + frame_idx.text() + " is " + describe(record.width, record.height, record.pix_fmt) +
            " but the session is " + describe(session.width, session.height, session.pix_fmt) +
            ": its samples are " + std::to_string(record.bytes_per_sample) +
            " bytes, not the session's " + std::to_string(session.bytes_per_sample) +
            "; nothing was copied");
    }
    if (record.plane_height[plane] <= declared.rows && row_bytes <= declared_row_bytes) return;
    throw py::value_error(
        "Frame " + frame_idx.text() + " is " + describe(record.width, record.height, record.pix_fmt) +
        " but the session is " + describe(session.width, session.height, session.pix_fmt) +
        ": its plane " + std::to_string(plane) + " (" + std::to_string(record.plane_height[plane]) +
        " rows of " + std::to_string(row_bytes) + " bytes) does not fit a buffer sized from the "
        "session's properties (" + std::to_string(declared.rows) + " rows of " +
        std::to_string(declared_row_bytes) + " bytes); nothing was copied");
}

}  // namespace

void copy_plane_to_ptr(H264DecoderSession& session, const FrameIndex& frame_idx, int plane, uint64_t dst_ptr,
                       int dst_stride) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    check_plane(*record, plane);
    if (dst_stride < 0) throw py::value_error("dst_stride must not be negative");
    check_fits_session(session, *record, frame_idx, plane);

    const int rows = record->plane_height[plane];
    const int src_stride = record->linesize[plane];
    const int row_bytes =
        std::min({record->plane_width[plane] * record->bytes_per_sample, dst_stride, src_stride});
    if (rows <= 0 || row_bytes <= 0) return;
    if (dst_ptr == 0) throw py::value_error("dst_ptr is a null address");

    auto* dst = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(dst_ptr));
    const uint8_t* src = record->planes[plane].data();
    for (int r = 0; r < rows; ++r) {
        std::memcpy(dst + static_cast<ptrdiff_t>(r) * dst_stride,
                    src + static_cast<ptrdiff_t>(r) * src_stride, static_cast<size_t>(row_bytes));
    }
}

std::tuple<int, int, std::string> get_frame_format(H264DecoderSession& session,
                                                   const FrameIndex& frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    return {record->width, record->height, record->pix_fmt};
}
