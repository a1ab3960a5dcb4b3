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
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
}

#include "binding/ffmpeg_log.h"
#include "binding/interpreter_lock.h"

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
    if (frame_idx.value < 0 || frame_idx.value >= session.num_frames)
        throw std::out_of_range("Frame index out of bounds: " + frame_idx.text());
    std::shared_ptr<CachedFrame> record;
    without_gil([&] { record = session.get_frame(static_cast<int>(frame_idx.value)); });
    return record;
}

void check_plane(const CachedFrame& record, int plane) {
    if (plane < 0 || plane >= record.num_planes) throw std::out_of_range("Invalid plane index");
}

template <typename Sample>
py::object plane_array(const CachedFrame& record, int plane) {
    const py::ssize_t rows = record.plane_height[plane];
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
py::array structured_array(std::initializer_list<Field> fields, size_t itemsize,
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
    const py::ssize_t rows = record->mb_rows;
    const py::ssize_t cols = record->mb_cols;
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

namespace {

// The frames of a batch request: each row's frame, and the ascending,
// distinct frames that are decoded for them.
struct BatchPlan {
    std::vector<int> frames;            // ascending, distinct
    std::vector<size_t> position;       // per row: its frame's place in `frames`
    std::vector<size_t> first_row;      // per place: the first row asking for it

    size_t rows() const { return position.size(); }
};

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
    const auto view = indices.unchecked<1>();

    BatchPlan plan;
    const auto rows = static_cast<size_t>(view.shape(0));
    // Every index is checked before anything is decoded.
    for (size_t row = 0; row < rows; ++row) session.check_frame_index(view(row));
    plan.frames.resize(rows);
    for (size_t row = 0; row < rows; ++row) plan.frames[row] = static_cast<int>(view(row));
    std::sort(plan.frames.begin(), plan.frames.end());
    plan.frames.erase(std::unique(plan.frames.begin(), plan.frames.end()), plan.frames.end());
    plan.position.resize(rows);
    plan.first_row.assign(plan.frames.size(), rows);
    for (size_t row = 0; row < rows; ++row) {
        const auto place = static_cast<size_t>(
            std::lower_bound(plan.frames.begin(), plan.frames.end(), static_cast<int>(view(row))) -
            plan.frames.begin());
        plan.position[row] = place;
        if (plan.first_row[place] == rows) plan.first_row[place] = row;
    }
    return plan;
}

// Lets Ctrl-C stop a long batch: the lock is taken back for a moment to run
// the signal handlers (which do anything only on the main thread).
void poll_for_interrupt() {
    const LockHeld held;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Repeated frames get a copy of the row decoded for their first mention.
void copy_repeated_rows(const BatchPlan& plan, uint8_t* data, size_t row_bytes) {
    for (size_t row = 0; row < plan.rows(); ++row) {
        const size_t source = plan.first_row[plan.position[row]];
        if (source != row && row_bytes > 0)
            std::memcpy(data + row * row_bytes, data + source * row_bytes, row_bytes);
    }
}

// A NumPy array over memory the extension allocated, which the array then owns.
template <typename T>
py::array_t<T> adopt_array(std::unique_ptr<T[]> data, std::vector<py::ssize_t> shape) {
    py::capsule owner(data.get(), [](void* pointer) { delete[] static_cast<T*>(pointer); });
    T* raw = data.release();
    return py::array_t<T>(std::move(shape), raw, owner);
}

// The size every frame of one batch must share, fixed by the first decoded.
class BatchPictureSize {
public:
    // QP maps need one size; planes one size and one pixel format.
    explicit BatchPictureSize(bool same_format) : same_format_(same_format) {}

    // True for the first frame; throws std::invalid_argument for a frame
    // whose visible size (or format) differs from the first's.
    bool admit(const AVFrame* frame, const PictureLayout& layout, int frame_idx) {
        if (first_idx_ < 0) {
            first_idx_ = frame_idx;
            width_ = layout.width;
            height_ = layout.height;
            format_ = frame->format;
            return true;
        }
        if (layout.width != width_ || layout.height != height_ ||
            (same_format_ && frame->format != format_)) {
            throw std::invalid_argument(
                "Frames of different sizes in one batch: frame " + std::to_string(first_idx_) +
                " is " + describe(width_, height_, format_) + ", frame " +
                std::to_string(frame_idx) + " is " +
                describe(layout.width, layout.height, frame->format));
        }
        return false;
    }

private:
    static std::string describe(int width, int height, int format) {
        const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
        return ::describe(width, height, name != nullptr ? name : "unknown format");
    }
    bool same_format_;
    int first_idx_ = -1;
    int width_ = 0;
    int height_ = 0;
    int format_ = -1;
};

}  // namespace

py::array_t<int8_t> get_qpmaps(H264DecoderSession& session, const py::handle& frames) {
    const BatchPlan plan = plan_batch(session, frames);
    int rows = session.mb_rows;
    int cols = session.mb_cols;
    std::unique_ptr<int8_t[]> cells;
    without_gil([&] {
        BatchPictureSize size(false);
        session.decode_frames(plan.frames, [&](size_t place, const AVFrame* frame) {
            const PictureLayout layout = picture_layout(frame);
            if (size.admit(frame, layout, plan.frames[place])) {
                cols = (layout.width + kMacroblockSize - 1) / kMacroblockSize;
                rows = (layout.height + kMacroblockSize - 1) / kMacroblockSize;
                cells.reset(new int8_t[plan.rows() * static_cast<size_t>(rows) * cols]);
            }
            const size_t cell_count = static_cast<size_t>(rows) * cols;
            const QpCellFit fit =
                fill_qp_cells(frame, cells.get() + plan.first_row[place] * cell_count, rows, cols);
            if (fit != QpCellFit::kFits)
                throw std::invalid_argument(qp_cell_fit_message(fit, plan.frames[place]));
        }, poll_for_interrupt);
        if (!cells) cells.reset(new int8_t[0]);
        copy_repeated_rows(plan, reinterpret_cast<uint8_t*>(cells.get()),
                           static_cast<size_t>(rows) * cols);
    });
    return adopt_array(std::move(cells), {static_cast<py::ssize_t>(plan.rows()), rows, cols});
}

py::array_t<int32_t> get_chroma_qp_offsets(H264DecoderSession& session, const py::handle& frames) {
    const BatchPlan plan = plan_batch(session, frames);
    std::unique_ptr<int32_t[]> offsets(new int32_t[plan.rows() * 2]);
    without_gil([&] {
        // Offsets of frames any query has decoded are known; only the others
        // are decoded, and nothing but their offsets is read.
        std::vector<int> unknown;
        for (size_t place = 0; place < plan.frames.size(); ++place) {
            ChromaQpOffsets known;
            if (session.known_chroma_qp_offsets(plan.frames[place], known)) {
                offsets[plan.first_row[place] * 2] = known.cb;
                offsets[plan.first_row[place] * 2 + 1] = known.cr;
            } else {
                unknown.push_back(plan.frames[place]);
            }
        }
        session.decode_frames(unknown, [&](size_t unknown_place, const AVFrame* frame) {
            const int frame_idx = unknown[unknown_place];
            const auto place = static_cast<size_t>(
                std::lower_bound(plan.frames.begin(), plan.frames.end(), frame_idx) -
                plan.frames.begin());
            const ChromaQpOffsets read = read_chroma_qp_offsets(frame);
            offsets[plan.first_row[place] * 2] = read.cb;
            offsets[plan.first_row[place] * 2 + 1] = read.cr;
        }, poll_for_interrupt);
        copy_repeated_rows(plan, reinterpret_cast<uint8_t*>(offsets.get()), 2 * sizeof(int32_t));
    });
    return adopt_array(std::move(offsets), {static_cast<py::ssize_t>(plan.rows()), 2});
}

namespace {

template <typename Sample>
py::array planes_array(std::unique_ptr<uint8_t[]> bytes, py::ssize_t count, py::ssize_t rows,
                       py::ssize_t cols) {
    py::capsule owner(bytes.get(), [](void* pointer) { delete[] static_cast<uint8_t*>(pointer); });
    uint8_t* raw = bytes.release();
    return py::array_t<Sample>({count, rows, cols}, reinterpret_cast<Sample*>(raw), owner);
}

}  // namespace

py::array get_planes(H264DecoderSession& session, const py::handle& frames, int plane) {
    if (plane < 0 || plane >= kMaxCachedPlanes) throw std::out_of_range("Invalid plane index");
    const BatchPlan plan = plan_batch(session, frames);

    // Until a frame is decoded, the stream's declared format tells the shape.
    const AVPixelFormat declared = av_get_pix_fmt(session.pix_fmt.c_str());
    const int declared_planes = av_pix_fmt_count_planes(declared);
    if (declared_planes > 0 && plane >= declared_planes) throw std::out_of_range("Invalid plane index");
    int rows = session.height;
    int cols = session.width;
    int sample_bytes = session.bytes_per_sample;
    if (const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(declared); desc != nullptr && plane > 0) {
        rows = -((-rows) >> desc->log2_chroma_h);
        cols = -((-cols) >> desc->log2_chroma_w);
    }

    std::unique_ptr<uint8_t[]> bytes;
    size_t frame_bytes = 0;
    without_gil([&] {
        BatchPictureSize size(true);
        session.decode_frames(plan.frames, [&](size_t place, const AVFrame* frame) {
            const PictureLayout layout = picture_layout(frame);
            if (size.admit(frame, layout, plan.frames[place])) {
                if (plane >= layout.num_planes) throw std::out_of_range("Invalid plane index");
                rows = layout.plane_height[plane];
                cols = layout.plane_width[plane];
                sample_bytes = layout.bytes_per_sample;
                frame_bytes = static_cast<size_t>(cols) * static_cast<size_t>(sample_bytes) *
                              static_cast<size_t>(rows);
                bytes.reset(new uint8_t[plan.rows() * frame_bytes]);
            }
            try {
                copy_visible_plane(frame, layout, plane,
                                   bytes.get() + plan.first_row[place] * frame_bytes);
            } catch (const std::runtime_error&) {
                throw std::runtime_error("Failed to decode frame " +
                                         std::to_string(plan.frames[place]));
            }
        }, poll_for_interrupt);
        if (!bytes) bytes.reset(new uint8_t[0]);
        copy_repeated_rows(plan, bytes.get(), frame_bytes);
    });
    const auto count = static_cast<py::ssize_t>(plan.rows());
    if (sample_bytes == 2) return planes_array<uint16_t>(std::move(bytes), count, rows, cols);
    return planes_array<uint8_t>(std::move(bytes), count, rows, cols);
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
    const StreamIndex& index = *session.index;
    const auto count = static_cast<size_t>(session.num_frames);
    py::array table = numpy.attr("zeros")(count, dtype);
    const py::dict offsets_of = dtype.attr("fields");
    auto offset = [&](const char* name) {
        return offsets_of[name].cast<py::tuple>()[1].cast<size_t>();
    };
    const size_t pts_at = offset("pts"), time_at = offset("time"), key_at = offset("key"),
                 type_at = offset("pict_type"), size_at = offset("packet_size"),
                 width_at = offset("width"), height_at = offset("height");
    const auto itemsize = static_cast<size_t>(table.itemsize());
    auto* rows = static_cast<uint8_t*>(table.mutable_data());
    // Multiplied before dividing, so that a time a whole number of ticks
    // makes is the nearest double (17920 / 12800 is 1.4, not 1.4000000000000001).
    const auto seconds = [](int64_t ticks, AVRational unit) {
        return unit.den != 0 ? static_cast<double>(ticks) * unit.num / unit.den : 0.0;
    };
    // Display ranks stand in for the timestamps of a stream without any: the
    // frame rate gives their time.
    const AVRational frame_duration{session.fps_den, session.fps_num};
    for (size_t frame = 0; frame < count; ++frame) {
        const PacketRecord& packet = index.packets[static_cast<size_t>(index.frame_packet[frame])];
        int64_t pts = index.display_pts[frame];
        double time = seconds(pts, session.time_base);
        if (index.synthetic_pts) {
            time = seconds(pts, frame_duration);
            pts = session.time_base.num > 0 ? av_rescale_q(pts, frame_duration, session.time_base)
                                            : pts;
        }
        const bool key = packet.is_key;
        const char32_t type = static_cast<char32_t>(packet.pict_type);
        uint8_t* row = rows + frame * itemsize;
        std::memcpy(row + pts_at, &pts, sizeof pts);
        std::memcpy(row + time_at, &time, sizeof time);
        std::memcpy(row + key_at, &key, sizeof key);
        std::memcpy(row + type_at, &type, sizeof type);
        std::memcpy(row + size_at, &packet.size, sizeof packet.size);
        std::memcpy(row + width_at, &packet.width, sizeof packet.width);
        std::memcpy(row + height_at, &packet.height, sizeof packet.height);
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
    if (!session.coding_blocks) {
        throw py::value_error(
            "Coding blocks are not exported by this session; open it with "
            "H264DecoderSession(path, coding_blocks=True)");
    }
}

// One row of the batch form: the frame, then the fields of get_coding_blocks.
struct FrameCodingBlock {
    int32_t frame = 0;
    CodingBlock block;
};

template <typename Row>
py::array coding_block_array(const Row* rows, size_t count, size_t block_offset,
                             bool with_frame) {
    const auto at = [block_offset](size_t offset) { return block_offset + offset; };
    if (with_frame) {
        return structured_array({{"frame", "=i4", 0},
                                 {"x", "=i4", at(offsetof(CodingBlock, x))},
                                 {"y", "=i4", at(offsetof(CodingBlock, y))},
                                 {"w", "=i4", at(offsetof(CodingBlock, w))},
                                 {"h", "=i4", at(offsetof(CodingBlock, h))},
                                 {"qp", "=i4", at(offsetof(CodingBlock, qp))},
                                 {"kind", "=u1", at(offsetof(CodingBlock, kind))},
                                 {"partition", "=u1", at(offsetof(CodingBlock, partition))},
                                 {"transform", "=u1", at(offsetof(CodingBlock, transform))},
                                 {"intra_mode", "=i2", at(offsetof(CodingBlock, intra_mode))},
                                 {"bits", "=i4", at(offsetof(CodingBlock, bits))}},
                                sizeof(Row), rows, count);
    }
    return structured_array({{"x", "=i4", at(offsetof(CodingBlock, x))},
                             {"y", "=i4", at(offsetof(CodingBlock, y))},
                             {"w", "=i4", at(offsetof(CodingBlock, w))},
                             {"h", "=i4", at(offsetof(CodingBlock, h))},
                             {"qp", "=i4", at(offsetof(CodingBlock, qp))},
                             {"kind", "=u1", at(offsetof(CodingBlock, kind))},
                             {"partition", "=u1", at(offsetof(CodingBlock, partition))},
                             {"transform", "=u1", at(offsetof(CodingBlock, transform))},
                             {"intra_mode", "=i2", at(offsetof(CodingBlock, intra_mode))},
                             {"bits", "=i4", at(offsetof(CodingBlock, bits))}},
                            sizeof(Row), rows, count);
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
    without_gil([&] {
        std::vector<std::vector<CodingBlock>> per_frame(plan.frames.size());
        session.decode_frames(plan.frames, [&](size_t place, const AVFrame* frame) {
            per_frame[place] = coding_blocks(frame);
        }, poll_for_interrupt);
        size_t total = 0;
        for (size_t row = 0; row < plan.rows(); ++row) total += per_frame[plan.position[row]].size();
        rows.reserve(total);
        for (size_t row = 0; row < plan.rows(); ++row) {
            const size_t place = plan.position[row];
            for (const CodingBlock& block : per_frame[place])
                rows.push_back(FrameCodingBlock{plan.frames[place], block});
        }
    });
    return coding_block_array(rows.data(), rows.size(), offsetof(FrameCodingBlock, block), true);
}
