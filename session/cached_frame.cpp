#include "cached_frame.h"

#include <algorithm>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/video_enc_params.h>
}

namespace {

constexpr int kMaxQp = 63;

int ceil_shift(int value, int shift) { return -((-value) >> shift); }

void copy_planes(const AVFrame* frame, const AVPixFmtDescriptor* desc, CachedFrame& record) {
    int pixel_steps[4] = {0, 0, 0, 0};
    if (desc != nullptr) av_image_fill_max_pixsteps(pixel_steps, nullptr, desc);
    for (int i = 0; i < record.num_planes; ++i) {
        const bool chroma = i > 0 && desc != nullptr;
        record.linesize[i] = frame->linesize[i];
        record.plane_width[i] = chroma ? ceil_shift(record.width, desc->log2_chroma_w) : record.width;
        record.plane_height[i] = chroma ? ceil_shift(record.height, desc->log2_chroma_h) : record.height;
        const int64_t bytes = int64_t{record.linesize[i]} * record.plane_height[i];
        // A negative stride (bottom-up layout) gives a negative count, which
        // the vector rejects with std::length_error.
        const auto count = static_cast<size_t>(bytes);
        if (frame->data[i] == nullptr || bytes <= 0) {
            record.planes[i].assign(count, 0);
            continue;
        }
        const int shift_x = chroma ? desc->log2_chroma_w : 0;
        const int shift_y = chroma ? desc->log2_chroma_h : 0;
        const int64_t crop_offset = int64_t{record.crop_top >> shift_y} * record.linesize[i] +
                                    int64_t{record.crop_left >> shift_x} * pixel_steps[i];
        if (crop_offset == 0) {
            record.planes[i].assign(frame->data[i], frame->data[i] + count);
            continue;
        }
        // Whole strides from the first visible sample would run past the end
        // of the decoder's last row; that row is taken up to its visible end.
        const uint8_t* first = frame->data[i] + crop_offset;
        const int64_t last_row = std::min<int64_t>(
            record.linesize[i], int64_t{record.plane_width[i]} * pixel_steps[i]);
        const int64_t readable = bytes - record.linesize[i] + last_row;
        record.planes[i].assign(count, 0);
        std::copy(first, first + readable, record.planes[i].begin());
    }
}

// Columns and rows the decoder left for the capture to crop; none when the
// crop is not a sound one.
void read_crop(const AVFrame* frame, CachedFrame& record) {
    const size_t horizontal = frame->crop_left + frame->crop_right;
    const size_t vertical = frame->crop_top + frame->crop_bottom;
    if (frame->width <= 0 || frame->height <= 0 || frame->crop_left > static_cast<size_t>(frame->width) ||
        frame->crop_top > static_cast<size_t>(frame->height) ||
        horizontal >= static_cast<size_t>(frame->width) ||
        vertical >= static_cast<size_t>(frame->height)) {
        record.width = frame->width;
        record.height = frame->height;
        return;
    }
    record.crop_left = static_cast<int>(frame->crop_left);
    record.crop_top = static_cast<int>(frame->crop_top);
    record.width = frame->width - static_cast<int>(horizontal);
    record.height = frame->height - static_cast<int>(vertical);
}

void fill_qp_map(const AVFrame* frame, CachedFrame& record) {
    const AVFrameSideData* side_data = av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    if (side_data == nullptr) return;
    const auto* params = reinterpret_cast<const AVVideoEncParams*>(side_data->data);
    record.cb_offset = params->delta_qp[1][0];
    record.cr_offset = params->delta_qp[2][0];
    for (unsigned int i = 0; i < params->nb_blocks; ++i) {
        const AVVideoBlockParams* block =
            av_video_enc_params_block(const_cast<AVVideoEncParams*>(params), i);
        const int cell_w = block->w > 0 ? block->w : kMacroblockSize;
        const int cell_h = block->h > 0 ? block->h : kMacroblockSize;
        // Blocks are placed on the coded picture. Macroblocks cropped away
        // whole are left out, so cell (0, 0) is the macroblock that holds the
        // visible picture's top-left sample.
        const int row = (block->src_y - record.crop_top / kMacroblockSize * kMacroblockSize) / cell_h;
        const int col = (block->src_x - record.crop_left / kMacroblockSize * kMacroblockSize) / cell_w;
        if (row < 0 || row >= record.mb_rows || col < 0 || col >= record.mb_cols) continue;
        const int64_t qp = int64_t{params->qp} + block->delta_qp;
        record.qp_map[static_cast<size_t>(int64_t{row} * record.mb_cols + col)] =
            static_cast<int8_t>(std::clamp<int64_t>(qp, 0, kMaxQp));
    }
}

}  // namespace

std::shared_ptr<CachedFrame> capture_frame(const AVFrame* frame, int64_t pts) {
    auto record = std::make_shared<CachedFrame>();
    record->pts = pts;
    read_crop(frame, *record);
    record->mb_cols = (record->width + kMacroblockSize - 1) / kMacroblockSize;
    record->mb_rows = (record->height + kMacroblockSize - 1) / kMacroblockSize;

    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc != nullptr) {
        record->pix_fmt = desc->name;
        record->bytes_per_sample = desc->comp[0].depth > 8 ? 2 : 1;
    } else {
        record->pix_fmt = "yuv420p";
        record->bytes_per_sample = 1;
    }
    record->num_planes = std::min(av_pix_fmt_count_planes(format), kMaxCachedPlanes);
    copy_planes(frame, desc, *record);

    record->qp_map.assign(static_cast<size_t>(int64_t{record->mb_rows} * record->mb_cols), -1);
    fill_qp_map(frame, *record);
    return record;
}

PlaneExtent plane_extent(const std::string& pix_fmt, int width, int height, int plane) {
    const AVPixelFormat format = av_get_pix_fmt(pix_fmt.c_str());
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc == nullptr || plane < 0 ||
        plane >= std::min(av_pix_fmt_count_planes(format), kMaxCachedPlanes))
        return {};
    const bool chroma = plane > 0;
    return PlaneExtent{chroma ? ceil_shift(height, desc->log2_chroma_h) : height,
                       chroma ? ceil_shift(width, desc->log2_chroma_w) : width};
}
