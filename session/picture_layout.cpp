#include "picture_layout.h"

#include <algorithm>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {

int ceil_shift(int value, int shift) { return -((-value) >> shift); }

// Columns and rows the decoder left for the capture to crop; none when the
// crop is not a sound one.
void read_crop(const AVFrame* frame, PictureLayout& layout) {
    const size_t horizontal = frame->crop_left + frame->crop_right;
    const size_t vertical = frame->crop_top + frame->crop_bottom;
    if (frame->width <= 0 || frame->height <= 0 || frame->crop_left > static_cast<size_t>(frame->width) ||
        frame->crop_top > static_cast<size_t>(frame->height) ||
        horizontal >= static_cast<size_t>(frame->width) ||
        vertical >= static_cast<size_t>(frame->height)) {
        layout.width = frame->width;
        layout.height = frame->height;
        return;
    }
    layout.crop_left = static_cast<int>(frame->crop_left);
    layout.crop_top = static_cast<int>(frame->crop_top);
    layout.width = frame->width - static_cast<int>(horizontal);
    layout.height = frame->height - static_cast<int>(vertical);
}

// Plane sizes of the layout's visible picture in `format`; with `linesize`,
// also where each plane's first visible sample lies in the decoder's memory.
void size_planes(AVPixelFormat format, const int* linesize, PictureLayout& layout) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    layout.bytes_per_sample = desc != nullptr && desc->comp[0].depth > 8 ? 2 : 1;
    layout.num_planes = std::min(av_pix_fmt_count_planes(format), kMaxCachedPlanes);
    int pixel_steps[4] = {0, 0, 0, 0};
    if (desc != nullptr && linesize != nullptr) av_image_fill_max_pixsteps(pixel_steps, nullptr, desc);
    for (int i = 0; i < layout.num_planes; ++i) {
        const bool chroma = i > 0 && desc != nullptr;
        const int shift_x = chroma ? desc->log2_chroma_w : 0;
        const int shift_y = chroma ? desc->log2_chroma_h : 0;
        layout.plane_width[i] = ceil_shift(layout.width, shift_x);
        layout.plane_height[i] = ceil_shift(layout.height, shift_y);
        if (linesize == nullptr) continue;
        layout.pixel_step[i] = pixel_steps[i];
        layout.crop_offset[i] = int64_t{layout.crop_top >> shift_y} * linesize[i] +
                                int64_t{layout.crop_left >> shift_x} * pixel_steps[i];
    }
}

}  // namespace

PictureLayout picture_layout(const AVFrame* frame) {
    PictureLayout layout;
    read_crop(frame, layout);
    size_planes(static_cast<AVPixelFormat>(frame->format), frame->linesize, layout);
    return layout;
}

PictureLayout declared_layout(const std::string& pix_fmt, int width, int height) {
    PictureLayout layout;
    layout.width = width;
    layout.height = height;
    size_planes(av_get_pix_fmt(pix_fmt.c_str()), nullptr, layout);
    return layout;
}
