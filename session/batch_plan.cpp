#include "batch_plan.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/pixdesc.h>
}

BatchPlan::BatchPlan(const H264DecoderSession& session, const std::vector<int64_t>& indices) {
    const size_t rows = indices.size();
    for (const int64_t frame_idx : indices) session.check_frame_index(frame_idx);
    frames_.assign(indices.begin(), indices.end());
    std::sort(frames_.begin(), frames_.end());
    frames_.erase(std::unique(frames_.begin(), frames_.end()), frames_.end());
    position_.resize(rows);
    first_row_.assign(frames_.size(), rows);
    for (size_t row = 0; row < rows; ++row) {
        const size_t place = place_of(static_cast<int>(indices[row]));
        position_[row] = place;
        if (first_row_[place] == rows) first_row_[place] = row;
    }
}

size_t BatchPlan::place_of(int frame_idx) const {
    return static_cast<size_t>(std::lower_bound(frames_.begin(), frames_.end(), frame_idx) -
                               frames_.begin());
}

void BatchPlan::copy_repeated_rows(uint8_t* data, size_t row_bytes) const {
    for (size_t row = 0; row < rows(); ++row) {
        const size_t source = first_row_[position_[row]];
        if (source != row && row_bytes > 0)
            std::memcpy(data + row * row_bytes, data + source * row_bytes, row_bytes);
    }
}

namespace {

std::string describe(int width, int height, int format) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return std::to_string(width) + "x" + std::to_string(height) + " " +
           (name != nullptr ? name : "unknown format");
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
    bool same_format_;
    int first_idx_ = -1;
    int width_ = 0;
    int height_ = 0;
    int format_ = -1;
};

}  // namespace

QpMapBatch decode_qp_maps(H264DecoderSession& session, const BatchPlan& plan, const BatchPoll& poll) {
    QpMapBatch batch;
    batch.mb_rows = session.mb_rows();
    batch.mb_cols = session.mb_cols();
    const std::vector<int>& frames = plan.frames();
    BatchPictureSize size(false);
    session.decode_frames(frames, DecodeCursor::Content::kEncodingParameters,
                          [&](size_t place, const AVFrame* frame) {
        const PictureLayout layout = picture_layout(frame);
        if (size.admit(frame, layout, frames[place])) {
            batch.mb_cols = layout.mb_cols();
            batch.mb_rows = layout.mb_rows();
            batch.cells.reset(
                new int8_t[plan.rows() * static_cast<size_t>(batch.mb_rows) * batch.mb_cols]);
        }
        const size_t cell_count = static_cast<size_t>(batch.mb_rows) * batch.mb_cols;
        const QpCellFit fit = fill_qp_cells(frame, batch.cells.get() + plan.first_row(place) * cell_count,
                                            batch.mb_rows, batch.mb_cols);
        if (fit != QpCellFit::kFits) throw std::invalid_argument(qp_cell_fit_message(fit, frames[place]));
    }, poll);
    if (!batch.cells) batch.cells.reset(new int8_t[0]);
    plan.copy_repeated_rows(reinterpret_cast<uint8_t*>(batch.cells.get()),
                            static_cast<size_t>(batch.mb_rows) * batch.mb_cols);
    return batch;
}

std::unique_ptr<int32_t[]> decode_chroma_qp_offsets(H264DecoderSession& session,
                                                    const BatchPlan& plan, const BatchPoll& poll) {
    std::unique_ptr<int32_t[]> offsets(new int32_t[plan.rows() * 2]);
    const std::vector<int>& frames = plan.frames();
    const auto store = [&](size_t place, ChromaQpOffsets pair) {
        offsets[plan.first_row(place) * 2] = pair.cb;
        offsets[plan.first_row(place) * 2 + 1] = pair.cr;
    };
    // Offsets of frames any query has decoded are known; only the others are
    // decoded, and nothing but their offsets is read.
    std::vector<int> unknown;
    for (size_t place = 0; place < frames.size(); ++place) {
        ChromaQpOffsets known;
        if (session.known_chroma_qp_offsets(frames[place], known)) {
            store(place, known);
        } else {
            unknown.push_back(frames[place]);
        }
    }
    session.decode_frames(unknown, DecodeCursor::Content::kEncodingParameters,
                          [&](size_t unknown_place, const AVFrame* frame) {
        store(plan.place_of(unknown[unknown_place]), read_chroma_qp_offsets(frame));
    }, poll);
    plan.copy_repeated_rows(reinterpret_cast<uint8_t*>(offsets.get()), 2 * sizeof(int32_t));
    return offsets;
}

void check_plane_index(int plane) {
    if (plane < 0 || plane >= kMaxCachedPlanes) throw std::out_of_range("Invalid plane index");
}

PlaneBatch decode_planes(H264DecoderSession& session, const BatchPlan& plan, int plane,
                         const BatchPoll& poll) {
    check_plane_index(plane);
    // Until a frame is decoded, the stream's declared format tells the shape.
    const PictureLayout& declared = session.layout();
    PlaneBatch batch;
    batch.rows = session.height();
    batch.columns = session.width();
    batch.bytes_per_sample = session.bytes_per_sample();
    if (declared.num_planes > 0) {
        if (plane >= declared.num_planes) throw std::out_of_range("Invalid plane index");
        batch.rows = declared.plane_height[plane];
        batch.columns = declared.plane_width[plane];
    }

    const std::vector<int>& frames = plan.frames();
    size_t frame_bytes = 0;
    BatchPictureSize size(true);
    session.decode_frames(frames, DecodeCursor::Content::kPictures,
                          [&](size_t place, const AVFrame* frame) {
        const PictureLayout layout = picture_layout(frame);
        if (size.admit(frame, layout, frames[place])) {
            if (plane >= layout.num_planes) throw std::out_of_range("Invalid plane index");
            batch.rows = layout.plane_height[plane];
            batch.columns = layout.plane_width[plane];
            batch.bytes_per_sample = layout.bytes_per_sample;
            frame_bytes = static_cast<size_t>(batch.columns) *
                          static_cast<size_t>(batch.bytes_per_sample) *
                          static_cast<size_t>(batch.rows);
            batch.samples.reset(new uint8_t[plan.rows() * frame_bytes]);
        }
        try {
            copy_visible_plane(frame, layout, plane,
                               batch.samples.get() + plan.first_row(place) * frame_bytes);
        } catch (const std::runtime_error&) {
            throw std::runtime_error("Failed to decode frame " + std::to_string(frames[place]));
        }
    }, poll);
    if (!batch.samples) batch.samples.reset(new uint8_t[0]);
    plan.copy_repeated_rows(batch.samples.get(), frame_bytes);
    return batch;
}

std::vector<FrameCodingBlock> decode_coding_blocks(H264DecoderSession& session,
                                                   const BatchPlan& plan, const BatchPoll& poll) {
    const std::vector<int>& frames = plan.frames();
    std::vector<std::vector<CodingBlock>> per_frame(frames.size());
    session.decode_frames(frames, DecodeCursor::Content::kSyntaxOnly,
                          [&](size_t place, const AVFrame* frame) {
        per_frame[place] = coding_blocks(frame);
    }, poll);
    size_t total = 0;
    for (size_t row = 0; row < plan.rows(); ++row) total += per_frame[plan.place_of_row(row)].size();
    std::vector<FrameCodingBlock> rows;
    rows.reserve(total);
    for (size_t row = 0; row < plan.rows(); ++row) {
        const size_t place = plan.place_of_row(row);
        for (const CodingBlock& block : per_frame[place])
            rows.push_back(FrameCodingBlock{frames[place], block});
    }
    return rows;
}
