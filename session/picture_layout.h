#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

// Largest number of planes a record keeps; an alpha plane is dropped.
constexpr int kMaxCachedPlanes = 3;

// Side of the square cell of the QP map, in luma samples.
constexpr int kMacroblockSize = 16;

// Whole macroblocks needed to cover `samples` luma samples.
constexpr int macroblocks_covering(int samples) {
    return (samples + kMacroblockSize - 1) / kMacroblockSize;
}

// The geometry of one picture: its visible size, the sizes of its planes and
// its grid of macroblocks. Made from a decoded frame (which the decoder
// leaves uncropped: the capture crops) or from a stream's declared size and
// pixel format; every query sizes its results by one of these.
struct PictureLayout {
    int width = 0;
    int height = 0;
    int crop_left = 0;
    int crop_top = 0;
    int num_planes = 0;
    int bytes_per_sample = 1;
    int plane_width[kMaxCachedPlanes] = {0, 0, 0};  // samples
    int plane_height[kMaxCachedPlanes] = {0, 0, 0};
    // Bytes from one sample to the next, and from the start of the decoder's
    // plane to the first visible sample; zero for a declared layout.
    int pixel_step[kMaxCachedPlanes] = {0, 0, 0};
    int64_t crop_offset[kMaxCachedPlanes] = {0, 0, 0};

    int mb_cols() const { return macroblocks_covering(width); }
    int mb_rows() const { return macroblocks_covering(height); }
    // Bytes of one visible row of `plane`.
    int64_t row_bytes(int plane) const { return int64_t{plane_width[plane]} * bytes_per_sample; }
};

// The visible picture of a decoded frame and the sizes of its planes.
PictureLayout picture_layout(const AVFrame* frame);

// A picture of `width` x `height` luma samples in the pixel format FFmpeg
// names `pix_fmt`: no crop, and no planes for a name FFmpeg does not know.
// What a caller sizes a buffer by when it goes by a session's properties.
PictureLayout declared_layout(const std::string& pix_fmt, int width, int height);
