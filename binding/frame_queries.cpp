#include "frame_queries.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

extern "C" {
#include <libavutil/avutil.h>
}

#include "binding/ffmpeg_log.h"
#include "binding/interpreter_lock.h"
#include "session/batch_plan.h"
#include "session/frame_table.h"

namespace {

// Decoding is the slow step, so it runs without the interpreter lock.
// FFmpeg's messages of the call go to Python's logging however it ended.
template <typename Work>
void without_gil(Work&& work) {
    std::exception_ptr failure;
    PyThreadState* const state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    take_lock_back(state);
    flush_ffmpeg_log();
    if (failure) std::rethrow_exception(failure);
}

std::shared_ptr<CachedFrame> fetch_frame(H264DecoderSession& session, const FrameIndex& frame_idx) {
    // Indices beyond the session's int range are out of bounds like any other.
    if (frame_idx.value < 0 || frame_idx.value >= session.num_frames())
        throw std::out_of_range("Frame index out of bounds: " + frame_idx.text());
    std::shared_ptr<CachedFrame> record;
    without_gil([&] { record = session.get_frame(static_cast<int>(frame_idx.value)); });
    return record;
}

void check_plane(const CachedFrame& record, int plane) {
    if (plane < 0 || plane >= record.layout.num_planes) throw std::out_of_range("Invalid plane index");
}

template <typename Sample>
py::object plane_array(const CachedFrame& record, int plane) {
    const py::ssize_t rows = record.layout.plane_height[plane];
    const py::ssize_t cols = record.linesize[plane] / static_cast<int>(sizeof(Sample));
    prepare_numpy();
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
py::array structured_array(const std::vector<Field>& fields, size_t itemsize,
                           const void* records, size_t count) {
    prepare_numpy();
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

py::array_t<int8_t> get_qpmap(H264DecoderSession& session, const FrameIndex& frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    if (record->qp_cell_fit != QpCellFit::kFits)
        throw py::value_error(
            qp_cell_fit_message(record->qp_cell_fit, static_cast<int>(frame_idx.value)));
    const py::ssize_t rows = record->layout.mb_rows();
    const py::ssize_t cols = record->layout.mb_cols();
    prepare_numpy();
    py::array_t<int8_t> qp_map({rows, cols}, {cols, py::ssize_t{1}});
    if (!record->qp_map.empty())
        std::memcpy(qp_map.mutable_data(), record->qp_map.data(), record->qp_map.size());
    return qp_map;
}

py::array get_qp_blocks(H264DecoderSession& session, const FrameIndex& frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    return structured_array({{"x", "=i4", offsetof(QpBlock, x)},
                             {"y", "=i4", offsetof(QpBlock, y)},
                             {"w", "=i4", offsetof(QpBlock, w)},
                             {"h", "=i4", offsetof(QpBlock, h)},
                             {"qp", "=i4", offsetof(QpBlock, qp)}},
                            sizeof(QpBlock), record->qp_blocks.data(), record->qp_blocks.size());
}

py::array get_motion_vectors(H264DecoderSession& session, const FrameIndex& frame_idx) {
    if (!session.motion_vectors()) {
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

py::object get_plane_data(H264DecoderSession& session, const FrameIndex& frame_idx, int plane) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    check_plane(*record, plane);
    if (record->layout.bytes_per_sample == 2) return plane_array<uint16_t>(*record, plane);
    return plane_array<uint8_t>(*record, plane);
}

std::tuple<int, int> get_chroma_qp_offset(H264DecoderSession& session, const FrameIndex& frame_idx) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    return {record->cb_offset, record->cr_offset};
}

void copy_plane_to_ptr(H264DecoderSession& session, const FrameIndex& frame_idx, int plane, uint64_t dst_ptr,
                       int dst_stride) {
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    check_plane(*record, plane);
    if (dst_stride < 0) throw py::value_error("dst_stride must not be negative");
    session.check_fits_declared(*record, static_cast<int>(frame_idx.value), plane);

    const int rows = record->layout.plane_height[plane];
    const int src_stride = record->linesize[plane];
    const int row_bytes = static_cast<int>(
        std::min<int64_t>({record->layout.row_bytes(plane), dst_stride, src_stride}));
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
    return {record->layout.width, record->layout.height, record->pix_fmt};
}

namespace {

// The display indices a batch query was given: any sequence or 1-D integer
// array, converted through NumPy.
BatchPlan plan_batch(const H264DecoderSession& session, const py::handle& frames) {
    prepare_numpy();
    const py::module_ numpy = py::module_::import("numpy");
    const py::array asked = numpy.attr("asarray")(frames);
    if (asked.ndim() != 1) {
        if (asked.ndim() == 0)
            throw py::type_error("frames must be a sequence of frame indices");
        throw py::value_error("frames must be one-dimensional, not of shape " +
                              py::repr(asked.attr("shape")).cast<std::string>());
    }
    const char kind = asked.dtype().kind();
    if (kind != 'i' && kind != 'u' && asked.size() > 0) {
        throw py::type_error("frames must be integers, not " +
                             py::str(asked.dtype()).cast<std::string>());
    }
    const auto indices = py::array_t<int64_t, py::array::forcecast>::ensure(
        kind == 'u' ? asked.attr("astype")("uint64").attr("clip")(0, INT64_MAX) : py::object(asked));
    if (!indices) throw py::error_already_set();
    // A strided view (frames[::2]) is read through its strides.
    const auto view = indices.unchecked<1>();
    std::vector<int64_t> asked_indices(static_cast<size_t>(view.shape(0)));
    for (size_t row = 0; row < asked_indices.size(); ++row)
        asked_indices[row] = view(static_cast<py::ssize_t>(row));
    return BatchPlan(session, asked_indices);
}

// Lets Ctrl-C stop a long batch: the lock is taken back for a moment to run
// the signal handlers (which do anything only on the main thread).
void poll_for_interrupt() {
    const LockHeld held;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// A NumPy array of `shape` over memory the extension allocated, which the
// array then owns; `Sample` is the array's element type.
template <typename Sample, typename Stored>
py::array adopt_array(std::unique_ptr<Stored[]> data, std::vector<py::ssize_t> shape) {
    py::capsule owner(data.get(), [](void* pointer) { delete[] static_cast<Stored*>(pointer); });
    Stored* raw = data.release();
    return py::array_t<Sample>(std::move(shape), reinterpret_cast<Sample*>(raw), owner);
}

}  // namespace

py::array_t<int8_t> get_qpmaps(H264DecoderSession& session, const py::handle& frames) {
    const BatchPlan plan = plan_batch(session, frames);
    QpMapBatch batch;
    without_gil([&] { batch = decode_qp_maps(session, plan, poll_for_interrupt); });
    return adopt_array<int8_t>(std::move(batch.cells),
                               {static_cast<py::ssize_t>(plan.rows()), batch.mb_rows, batch.mb_cols});
}

py::array_t<int32_t> get_chroma_qp_offsets(H264DecoderSession& session, const py::handle& frames) {
    const BatchPlan plan = plan_batch(session, frames);
    std::unique_ptr<int32_t[]> offsets;
    without_gil([&] { offsets = decode_chroma_qp_offsets(session, plan, poll_for_interrupt); });
    return adopt_array<int32_t>(std::move(offsets), {static_cast<py::ssize_t>(plan.rows()), 2});
}

py::array get_planes(H264DecoderSession& session, const py::handle& frames, int plane) {
    check_plane_index(plane);
    const BatchPlan plan = plan_batch(session, frames);
    PlaneBatch batch;
    without_gil([&] { batch = decode_planes(session, plan, plane, poll_for_interrupt); });
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(plan.rows()), batch.rows,
                                         batch.columns};
    if (batch.bytes_per_sample == 2) return adopt_array<uint16_t>(std::move(batch.samples), shape);
    return adopt_array<uint8_t>(std::move(batch.samples), shape);
}

py::array frame_table(const H264DecoderSession& session) {
    prepare_numpy();
    const py::module_ numpy = py::module_::import("numpy");
    py::list fields;
    for (const auto& [name, type] : {std::pair{"pts", "<i8"}, {"time", "<f8"}, {"key", "?"},
                                     {"pict_type", "<U1"}, {"packet_size", "<i4"},
                                     {"width", "<i4"}, {"height", "<i4"}})
        fields.append(py::make_tuple(name, type));
    const py::object dtype = numpy.attr("dtype")(fields);
    const std::vector<FrameFacts> facts = frame_facts(session);
    py::array table = numpy.attr("zeros")(facts.size(), dtype);
    const py::dict offsets_of = dtype.attr("fields");
    auto offset = [&](const char* name) {
        return offsets_of[name].cast<py::tuple>()[1].cast<size_t>();
    };
    const size_t pts_at = offset("pts"), time_at = offset("time"), key_at = offset("key"),
                 type_at = offset("pict_type"), size_at = offset("packet_size"),
                 width_at = offset("width"), height_at = offset("height");
    const auto itemsize = static_cast<size_t>(table.itemsize());
    auto* rows = static_cast<uint8_t*>(table.mutable_data());
    for (size_t frame = 0; frame < facts.size(); ++frame) {
        const FrameFacts& row_facts = facts[frame];
        uint8_t* row = rows + frame * itemsize;
        std::memcpy(row + pts_at, &row_facts.pts, sizeof row_facts.pts);
        std::memcpy(row + time_at, &row_facts.time, sizeof row_facts.time);
        std::memcpy(row + key_at, &row_facts.key, sizeof row_facts.key);
        std::memcpy(row + type_at, &row_facts.pict_type, sizeof row_facts.pict_type);
        std::memcpy(row + size_at, &row_facts.packet_size, sizeof row_facts.packet_size);
        std::memcpy(row + width_at, &row_facts.width, sizeof row_facts.width);
        std::memcpy(row + height_at, &row_facts.height, sizeof row_facts.height);
    }
    return table;
}

namespace {

void check_coding_blocks(const H264DecoderSession& session) {
    if (!coding_blocks_supported()) {
        throw std::runtime_error(
            "Coding blocks need mbgauge's FFmpeg: the FFmpeg this module runs on (" +
            std::string(av_version_info()) +
            ") exports no block structure; build mbgauge with its own FFmpeg "
            "(./scripts/setup.sh without MBGAUGE_FFMPEG=system)");
    }
    if (!session.coding_blocks()) {
        throw py::value_error(
            "Coding blocks are not exported by this session; open it with "
            "H264DecoderSession(path, coding_blocks=True)");
    }
}

template <typename Row>
py::array coding_block_array(const Row* rows, size_t count, size_t block_offset,
                             bool with_frame) {
    const auto at = [block_offset](size_t offset) { return block_offset + offset; };
    std::vector<Field> fields;
    if (with_frame) fields.push_back({"frame", "=i4", 0});
    fields.insert(fields.end(),
                  {{"x", "=i4", at(offsetof(CodingBlock, x))},
                   {"y", "=i4", at(offsetof(CodingBlock, y))},
                   {"w", "=i4", at(offsetof(CodingBlock, w))},
                   {"h", "=i4", at(offsetof(CodingBlock, h))},
                   {"qp", "=i4", at(offsetof(CodingBlock, qp))},
                   {"kind", "=u1", at(offsetof(CodingBlock, kind))},
                   {"partition", "=u1", at(offsetof(CodingBlock, partition))},
                   {"transform", "=u1", at(offsetof(CodingBlock, transform))},
                   {"intra_mode", "=i2", at(offsetof(CodingBlock, intra_mode))},
                   {"bits", "=i4", at(offsetof(CodingBlock, bits))}});
    return structured_array(fields, sizeof(Row), rows, count);
}

}  // namespace

py::array get_coding_blocks(H264DecoderSession& session, const FrameIndex& frame_idx) {
    check_coding_blocks(session);
    const std::shared_ptr<CachedFrame> record = fetch_frame(session, frame_idx);
    return coding_block_array(record->coding_blocks.data(), record->coding_blocks.size(), 0,
                              false);
}

py::array get_coding_blocks_batch(H264DecoderSession& session, const py::handle& frames) {
    check_coding_blocks(session);
    const BatchPlan plan = plan_batch(session, frames);
    std::vector<FrameCodingBlock> rows;
    without_gil([&] { rows = decode_coding_blocks(session, plan, poll_for_interrupt); });
    return coding_block_array(rows.data(), rows.size(), offsetof(FrameCodingBlock, block), true);
}
