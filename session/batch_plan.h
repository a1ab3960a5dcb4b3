#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "h264_decoder_session.h"

// The frames of a batch query: each row's frame, and the ascending, distinct
// frames that are decoded for them. Row k of a result belongs to the k-th
// index asked for; a frame asked for twice is decoded once.
class BatchPlan {
public:
    // Checks every index (std::out_of_range naming the first bad one) before
    // anything is decoded.
    BatchPlan(const H264DecoderSession& session, const std::vector<int64_t>& indices);

    size_t rows() const { return position_.size(); }
    // Ascending, distinct: the order the frames are decoded in.
    const std::vector<int>& frames() const { return frames_; }
    // The first row asking for frames()[place]: the one its data goes to.
    size_t first_row(size_t place) const { return first_row_[place]; }
    // The place in frames() of frame `frame_idx`, which the plan holds.
    size_t place_of(int frame_idx) const;
    // Gives every repeated row a copy of the row decoded for its frame's first
    // mention; rows are `row_bytes` apart from `data`.
    void copy_repeated_rows(uint8_t* data, size_t row_bytes) const;

private:
    std::vector<int> frames_;
    std::vector<size_t> position_;   // per row: its frame's place in frames_
    std::vector<size_t> first_row_;  // per place: the first row asking for it
};

// Called now and then during a batch's decoding; may throw to stop it.
using BatchPoll = std::function<void()>;

// The QP maps of a batch: rows() x mb_rows x mb_cols cells, sized by the first
// frame decoded (by the session's properties for an empty batch).
struct QpMapBatch {
    std::unique_ptr<int8_t[]> cells;
    int mb_rows = 0;
    int mb_cols = 0;
};
// Throws std::invalid_argument for frames of different sizes or QPs that do
// not fit int8 cells.
QpMapBatch decode_qp_maps(H264DecoderSession& session, const BatchPlan& plan, const BatchPoll& poll);

// The chroma QP offsets of a batch: rows() x (cb, cr). Frames whose offsets a
// query has already seen are not decoded again.
std::unique_ptr<int32_t[]> decode_chroma_qp_offsets(H264DecoderSession& session,
                                                    const BatchPlan& plan, const BatchPoll& poll);

// One plane of a batch's visible pictures: rows() x rows x columns samples of
// `bytes_per_sample` bytes, sized by the first frame decoded (by the session's
// declared size and format for an empty batch).
struct PlaneBatch {
    std::unique_ptr<uint8_t[]> samples;
    int rows = 0;
    int columns = 0;
    int bytes_per_sample = 1;
};
// Throws std::out_of_range "Invalid plane index" for a plane the pictures do
// not have, std::invalid_argument for frames of different sizes or formats.
PlaneBatch decode_planes(H264DecoderSession& session, const BatchPlan& plan, int plane,
                         const BatchPoll& poll);

// Throws std::out_of_range "Invalid plane index" unless `plane` is one a
// record can keep.
void check_plane_index(int plane);
