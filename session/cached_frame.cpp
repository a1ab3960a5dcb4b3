#include "cached_frame.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/video_enc_params.h>
}

namespace {

constexpr int kMaxQp = 63;

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

void copy_planes(const AVFrame* frame, const PictureLayout& layout, CachedFrame& record) {
    for (int i = 0; i < record.num_planes; ++i) {
        record.linesize[i] = frame->linesize[i];
        record.plane_width[i] = layout.plane_width[i];
        record.plane_height[i] = layout.plane_height[i];
        const int64_t bytes = int64_t{record.linesize[i]} * record.plane_height[i];
        // A negative stride (bottom-up layout) gives a negative count, which
        // the vector rejects with std::length_error.
        const auto count = static_cast<size_t>(bytes);
        if (frame->data[i] == nullptr || bytes <= 0) {
            record.planes[i].assign(count, 0);
            continue;
        }
        if (layout.crop_offset[i] == 0) {
            record.planes[i].assign(frame->data[i], frame->data[i] + count);
            continue;
        }
        // Whole strides from the first visible sample would run past the end
        // of the decoder's last row; that row is taken up to its visible end.
        const uint8_t* first = frame->data[i] + layout.crop_offset[i];
        const int64_t last_row = std::min<int64_t>(
            record.linesize[i], int64_t{record.plane_width[i]} * layout.pixel_step[i]);
        const int64_t readable = bytes - record.linesize[i] + last_row;
        record.planes[i].assign(count, 0);
        std::copy(first, first + readable, record.planes[i].begin());
    }
}

const AVVideoEncParams* encoding_parameters(const AVFrame* frame) {
    const AVFrameSideData* side_data = av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    return side_data == nullptr ? nullptr
                                : reinterpret_cast<const AVVideoEncParams*>(side_data->data);
}

}  // namespace

PictureLayout picture_layout(const AVFrame* frame) {
    PictureLayout layout;
    read_crop(frame, layout);
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    layout.bytes_per_sample = desc != nullptr && desc->comp[0].depth > 8 ? 2 : 1;
    layout.num_planes = std::min(av_pix_fmt_count_planes(format), kMaxCachedPlanes);
    int pixel_steps[4] = {0, 0, 0, 0};
    if (desc != nullptr) av_image_fill_max_pixsteps(pixel_steps, nullptr, desc);
    for (int i = 0; i < layout.num_planes; ++i) {
        const bool chroma = i > 0 && desc != nullptr;
        const int shift_x = chroma ? desc->log2_chroma_w : 0;
        const int shift_y = chroma ? desc->log2_chroma_h : 0;
        layout.plane_width[i] = ceil_shift(layout.width, shift_x);
        layout.plane_height[i] = ceil_shift(layout.height, shift_y);
        layout.pixel_step[i] = pixel_steps[i];
        layout.crop_offset[i] = int64_t{layout.crop_top >> shift_y} * frame->linesize[i] +
                                int64_t{layout.crop_left >> shift_x} * pixel_steps[i];
    }
    return layout;
}

void copy_visible_plane(const AVFrame* frame, const PictureLayout& layout, int plane,
                        uint8_t* out) {
    const auto row_bytes =
        static_cast<size_t>(layout.plane_width[plane]) * static_cast<size_t>(layout.bytes_per_sample);
    const int rows = layout.plane_height[plane];
    if (frame->data[plane] == nullptr) {
        std::memset(out, 0, row_bytes * static_cast<size_t>(std::max(rows, 0)));
        return;
    }
    const int stride = frame->linesize[plane];
    if (static_cast<size_t>(std::abs(int64_t{stride})) < row_bytes)
        throw std::runtime_error("Decoded plane rows are shorter than the picture");
    const uint8_t* first = frame->data[plane] + layout.crop_offset[plane];
    for (int r = 0; r < rows; ++r) {
        std::memcpy(out + static_cast<size_t>(r) * row_bytes,
                    first + static_cast<ptrdiff_t>(r) * stride, row_bytes);
    }
}

void fill_qp_cells(const AVFrame* frame, int8_t* out, int mb_rows, int mb_cols) {
    std::fill_n(out, static_cast<size_t>(int64_t{mb_rows} * mb_cols), int8_t{-1});
    const AVVideoEncParams* params = encoding_parameters(frame);
    if (params == nullptr) return;
    PictureLayout crop;
    read_crop(frame, crop);
    // Blocks are placed on the coded picture. Macroblocks cropped away whole
    // are left out, so cell (0, 0) is the macroblock that holds the visible
    // picture's top-left sample.
    const int skipped_x = crop.crop_left / kMacroblockSize * kMacroblockSize;
    const int skipped_y = crop.crop_top / kMacroblockSize * kMacroblockSize;
    for (unsigned int i = 0; i < params->nb_blocks; ++i) {
        const AVVideoBlockParams* block =
            av_video_enc_params_block(const_cast<AVVideoEncParams*>(params), i);
        const int cell_w = block->w > 0 ? block->w : kMacroblockSize;
        const int cell_h = block->h > 0 ? block->h : kMacroblockSize;
        const int row = (block->src_y - skipped_y) / cell_h;
        const int col = (block->src_x - skipped_x) / cell_w;
        if (row < 0 || row >= mb_rows || col < 0 || col >= mb_cols) continue;
        const int64_t qp = int64_t{params->qp} + block->delta_qp;
        out[static_cast<size_t>(int64_t{row} * mb_cols + col)] =
            static_cast<int8_t>(std::clamp<int64_t>(qp, 0, kMaxQp));
    }
}

ChromaQpOffsets read_chroma_qp_offsets(const AVFrame* frame) {
    const AVVideoEncParams* params = encoding_parameters(frame);
    if (params == nullptr) return {};
    return {params->delta_qp[1][0], params->delta_qp[2][0]};
}

std::shared_ptr<CachedFrame> capture_frame(const AVFrame* frame, int64_t pts) {
    auto record = std::make_shared<CachedFrame>();
    record->pts = pts;
    const PictureLayout layout = picture_layout(frame);
    record->width = layout.width;
    record->height = layout.height;
    record->crop_left = layout.crop_left;
    record->crop_top = layout.crop_top;
    record->mb_cols = (record->width + kMacroblockSize - 1) / kMacroblockSize;
    record->mb_rows = (record->height + kMacroblockSize - 1) / kMacroblockSize;

    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    record->pix_fmt = desc != nullptr ? desc->name : "yuv420p";
    record->bytes_per_sample = layout.bytes_per_sample;
    record->num_planes = layout.num_planes;
    copy_planes(frame, layout, *record);

    record->qp_map.resize(static_cast<size_t>(int64_t{record->mb_rows} * record->mb_cols));
    if (!record->qp_map.empty())
        fill_qp_cells(frame, record->qp_map.data(), record->mb_rows, record->mb_cols);
    const ChromaQpOffsets offsets = read_chroma_qp_offsets(frame);
    record->cb_offset = offsets.cb;
    record->cr_offset = offsets.cr;
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
