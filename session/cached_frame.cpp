#include "cached_frame.h"

#include <algorithm>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/video_enc_params.h>
}

namespace {

constexpr int kMaxQp = 63;

int ceil_shift(int value, int shift) { return -((-value) >> shift); }

void copy_planes(const AVFrame* frame, const PictureLayout& layout, CachedFrame& record) {
    for (int i = 0; i < record.num_planes; ++i) {
        record.linesize[i] = frame->linesize[i];
        record.plane_width[i] = layout.plane_width[i];
        record.plane_height[i] = layout.plane_height[i];
        const int64_t bytes = int64_t{record.linesize[i]} * record.plane_height[i];
        // A negative stride (bottom-up layout) gives a negative count, which
        // the vector rejects with std::length_error.
        const auto count = static_cast<size_t>(bytes);
        if (frame->data[i] != nullptr && bytes > 0) {
            record.planes[i].assign(frame->data[i], frame->data[i] + count);
        } else {
            record.planes[i].assign(count, 0);
        }
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
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    layout.bytes_per_sample = desc != nullptr && desc->comp[0].depth > 8 ? 2 : 1;
    layout.num_planes = std::min(av_pix_fmt_count_planes(format), kMaxCachedPlanes);
    for (int i = 0; i < layout.num_planes; ++i) {
        const bool chroma = i > 0 && desc != nullptr;
        layout.plane_width[i] = chroma ? ceil_shift(frame->width, desc->log2_chroma_w) : frame->width;
        layout.plane_height[i] = chroma ? ceil_shift(frame->height, desc->log2_chroma_h) : frame->height;
    }
    return layout;
}

void fill_qp_cells(const AVFrame* frame, int8_t* out, int mb_rows, int mb_cols) {
    std::fill_n(out, static_cast<size_t>(int64_t{mb_rows} * mb_cols), int8_t{-1});
    const AVVideoEncParams* params = encoding_parameters(frame);
    if (params == nullptr) return;
    for (unsigned int i = 0; i < params->nb_blocks; ++i) {
        const AVVideoBlockParams* block =
            av_video_enc_params_block(const_cast<AVVideoEncParams*>(params), i);
        const int cell_w = block->w > 0 ? block->w : kMacroblockSize;
        const int cell_h = block->h > 0 ? block->h : kMacroblockSize;
        const int row = block->src_y / cell_h;
        const int col = block->src_x / cell_w;
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
    record->width = frame->width;
    record->height = frame->height;
    record->mb_cols = (record->width + kMacroblockSize - 1) / kMacroblockSize;
    record->mb_rows = (record->height + kMacroblockSize - 1) / kMacroblockSize;

    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    record->pix_fmt = desc != nullptr ? desc->name : "yuv420p";
    const PictureLayout layout = picture_layout(frame);
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
