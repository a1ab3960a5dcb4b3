#include "frame_queries.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace {

// Decoding is the slow step, so it runs without the interpreter lock; the
// lock is held again when get_frame returns or throws.
std::shared_ptr<CachedFrame> fetch_frame(H264DecoderSession& session, int frame_idx) {
    py::gil_scoped_release release;
    return session.get_frame(frame_idx);
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

struct Field {
    const char* name;
    const char* format;
    size_t offset;
};

// A structured array of `count` records laid out as the C structure the
// fields describe, filled with one copy.
py::array structured_array(std::initializer_list<Field> fields, size_t itemsize,
                           const void* records, size_t count) {
    py::list names, formats, offsets;
    for (const Field& field : fields) {
        names.append(field.name);
        formats.append(field.format);
        offsets.append(field.offset);
    }
    const py::dtype dtype(names, formats, offsets, static_cast<py::ssize_t>(itemsize));
    py::array array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(count)});
    if (count > 0) std::memcpy(array.mutable_data(), records, count * itemsize);
    return array;
}

}  // namespace

py::array_t<int8_t> get_qpmap(H264DecoderSession& session, int frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    if (record->qp_cell_fit != QpCellFit::kFits)
        throw py::value_error(qp_cell_fit_message(record->qp_cell_fit, frame_idx));
    const py::ssize_t rows = record->mb_rows;
    const py::ssize_t cols = record->mb_cols;
    py::array_t<int8_t> qp_map({rows, cols}, {cols, py::ssize_t{1}});
    if (!record->qp_map.empty())
        std::memcpy(qp_map.mutable_data(), record->qp_map.data(), record->qp_map.size());
    return qp_map;
}

py::array get_qp_blocks(H264DecoderSession& session, int frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    return structured_array({{"x", "=i4", offsetof(QpBlock, x)},
                             {"y", "=i4", offsetof(QpBlock, y)},
                             {"w", "=i4", offsetof(QpBlock, w)},
                             {"h", "=i4", offsetof(QpBlock, h)},
                             {"qp", "=i4", offsetof(QpBlock, qp)}},
                            sizeof(QpBlock), record->qp_blocks.data(), record->qp_blocks.size());
}

py::array get_motion_vectors(H264DecoderSession& session, int frame_idx) {
    if (!session.motion_vectors) {
        throw py::value_error(
            "Motion vectors are not exported by this session; open it with "
            "H264DecoderSession(path, motion_vectors=True)");
    }
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    // The fields, names and types of FFmpeg's AVMotionVector, at its offsets.
    return structured_array({{"source", "=i4", offsetof(AVMotionVector, source)},
                             {"w", "=u1", offsetof(AVMotionVector, w)},
                             {"h", "=u1", offsetof(AVMotionVector, h)},
                             {"src_x", "=i2", offsetof(AVMotionVector, src_x)},
                             {"src_y", "=i2", offsetof(AVMotionVector, src_y)},
                             {"dst_x", "=i2", offsetof(AVMotionVector, dst_x)},
                             {"dst_y", "=i2", offsetof(AVMotionVector, dst_y)},
                             {"flags", "=u8", offsetof(AVMotionVector, flags)},
                             {"motion_x", "=i4", offsetof(AVMotionVector, motion_x)},
                             {"motion_y", "=i4", offsetof(AVMotionVector, motion_y)},
                             {"motion_scale", "=u2", offsetof(AVMotionVector, motion_scale)}},
                            sizeof(AVMotionVector), record->motion_vectors.data(),
                            record->motion_vectors.size());
}

py::object get_plane_data(H264DecoderSession& session, int frame_idx, int plane) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    check_plane(*record, plane);
    if (record->bytes_per_sample == 2) return plane_array<uint16_t>(*record, plane);
    return plane_array<uint8_t>(*record, plane);
}

std::tuple<int, int> get_chroma_qp_offset(H264DecoderSession& session, int frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    return {record->cb_offset, record->cr_offset};
}

void copy_plane_to_ptr(H264DecoderSession& session, int frame_idx, int plane, uint64_t dst_ptr,
                       int dst_stride) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    check_plane(*record, plane);
    if (dst_stride < 0) throw py::value_error("dst_stride must not be negative");

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
