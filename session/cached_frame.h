#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
}

// Everything the frame queries need from one decoded picture, copied out of
// the decoder's memory. Never modified after capture_frame has built it.
struct CachedFrame {
    int64_t pts = AV_NOPTS_VALUE;
    int width = 0;
    int height = 0;
    std::string pix_fmt;
    std::array<std::vector<uint8_t>, 3> planes;
    int linesize[3] = {0, 0, 0};
    int plane_width[3] = {0, 0, 0};
    int plane_height[3] = {0, 0, 0};
    int num_planes = 0;
    int bytes_per_sample = 1;
    // mb_rows x mb_cols macroblock QPs, row-major; -1 where no block wrote.
    std::vector<int8_t> qp_map;
    int mb_rows = 0;
    int mb_cols = 0;
    int cb_offset = 0;
    int cr_offset = 0;
};

// Largest number of planes a record keeps; an alpha plane is dropped.
constexpr int kMaxCachedPlanes = 3;

// Side of the square cell of the QP map, in luma samples.
constexpr int kMacroblockSize = 16;

struct ChromaQpOffsets {
    int cb = 0;
    int cr = 0;
};

// Sizes of the planes of a decoded picture, as a record keeps them.
struct PictureLayout {
    int num_planes = 0;
    int bytes_per_sample = 1;
    int plane_width[kMaxCachedPlanes] = {0, 0, 0};   // samples
    int plane_height[kMaxCachedPlanes] = {0, 0, 0};
};
PictureLayout picture_layout(const AVFrame* frame);

// Writes the QP of every 16x16 cell of a decoded picture into the row-major
// `mb_rows` x `mb_cols` cells at `out`: -1 where no block carries one. Both
// the frame records and the batch queries fill their maps through it.
void fill_qp_cells(const AVFrame* frame, int8_t* out, int mb_rows, int mb_cols);

// The picture's chroma QP offsets; 0, 0 when it carries no encoding parameters.
ChromaQpOffsets read_chroma_qp_offsets(const AVFrame* frame);

// Copies planes, macroblock QP map and chroma QP offsets out of a decoded
// frame. `pts` is the timestamp under which the frame was indexed.
std::shared_ptr<CachedFrame> capture_frame(const AVFrame* frame, int64_t pts);
