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
    // Columns and rows the stream crops off the left and top of the coded
    // picture; the planes hold only what is left (the visible picture).
    int crop_left = 0;
    int crop_top = 0;
};

// Largest number of planes a record keeps; an alpha plane is dropped.
constexpr int kMaxCachedPlanes = 3;

// Side of the square cell of the QP map, in luma samples.
constexpr int kMacroblockSize = 16;

// Copies planes, macroblock QP map and chroma QP offsets out of a decoded
// frame. `pts` is the timestamp under which the frame was indexed.
std::shared_ptr<CachedFrame> capture_frame(const AVFrame* frame, int64_t pts);

// Rows and columns (samples) of `plane` of a picture of the given size and
// pixel format; {0, 0} for a plane the format does not have. What a caller
// sizes a buffer by when it goes by a session's properties.
struct PlaneExtent {
    int rows = 0;
    int columns = 0;
};
PlaneExtent plane_extent(const std::string& pix_fmt, int width, int height, int plane);
