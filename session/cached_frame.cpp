#include "cached_frame.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <tuple>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/video_enc_params.h>
}

namespace {

// Largest QP a cell holds; -1 keeps its meaning of "no QP".
constexpr int kMaxCellQp = std::numeric_limits<int8_t>::max();

int64_t ceil_div_by_cell(int64_t value) {
    return value >= 0 ? (value + kMacroblockSize - 1) / kMacroblockSize
                      : -((-value) / kMacroblockSize);
}

void copy_planes(const AVFrame* frame, CachedFrame& record) {
    const PictureLayout& layout = record.layout;
    for (int i = 0; i < layout.num_planes; ++i) {
        record.linesize[i] = frame->linesize[i];
        const int64_t bytes = int64_t{record.linesize[i]} * layout.plane_height[i];
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
            record.linesize[i], int64_t{layout.plane_width[i]} * layout.pixel_step[i]);
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

// VP9 exports its quantiser index as the frame's base and per-segment deltas,
// and no block at all for a frame without segmentation, whose base is then
// the quantiser of the whole picture. For H.264 and MPEG the base is only
// what the blocks' deltas count from.
bool base_is_frame_quantiser(const AVVideoEncParams& params) {
    return params.type == AV_VIDEO_ENC_PARAMS_VP9;
}

int32_t saturated_sum(int32_t base, int32_t delta) {
    return static_cast<int32_t>(std::clamp<int64_t>(int64_t{base} + delta,
                                                    std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

// Calls `visit` with every block of the parameters in their order, placed
// on the visible picture: the decoder places them on the coded one, so the
// crop at the left and top is taken off. A block without a size is taken for
// a 16x16 macroblock.
template <typename Visit>
void for_each_qp_block(const AVFrame* frame, const AVVideoEncParams& params, Visit visit) {
    const PictureLayout crop = picture_layout(frame);
    if (params.nb_blocks == 0) {
        if (base_is_frame_quantiser(params)) visit(QpBlock{0, 0, crop.width, crop.height, params.qp});
        return;
    }
    auto* blocks = const_cast<AVVideoEncParams*>(&params);
    for (unsigned int i = 0; i < params.nb_blocks; ++i) {
        const AVVideoBlockParams* block = av_video_enc_params_block(blocks, i);
        visit(QpBlock{saturated_sum(block->src_x, -crop.crop_left),
                      saturated_sum(block->src_y, -crop.crop_top),
                      block->w > 0 ? block->w : kMacroblockSize,
                      block->h > 0 ? block->h : kMacroblockSize,
                      saturated_sum(params.qp, block->delta_qp)});
    }
}

}  // namespace

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

QpCellFit fill_qp_cells(const AVFrame* frame, int8_t* out, int mb_rows, int mb_cols) {
    const size_t cell_count = static_cast<size_t>(std::max<int64_t>(0, int64_t{mb_rows} * mb_cols));
    std::fill_n(out, cell_count, int8_t{-1});
    const AVVideoEncParams* params = encoding_parameters(frame);
    if (params == nullptr) return QpCellFit::kFits;
    if (params->type == AV_VIDEO_ENC_PARAMS_VP9) return QpCellFit::kQuantiserIndex;

    // The grid stays on the coded macroblocks: cell (0, 0) is the macroblock
    // holding the visible top-left sample, so with a crop that is not a
    // multiple of 16 the cells start that remainder before the picture.
    const PictureLayout crop = picture_layout(frame);
    const int grid_x = crop.crop_left % kMacroblockSize;
    const int grid_y = crop.crop_top % kMacroblockSize;
    bool fits = true;
    for_each_qp_block(frame, *params, [&](const QpBlock& block) {
        if (!fits) return;
        if (block.qp < 0 || block.qp > kMaxCellQp) {
            fits = false;
            return;
        }
        // The cells whose top-left sample lies inside the block.
        const int64_t x = int64_t{block.x} + grid_x;
        const int64_t y = int64_t{block.y} + grid_y;
        const int64_t first_row = std::max<int64_t>(0, ceil_div_by_cell(y));
        const int64_t end_row = std::min<int64_t>(mb_rows, ceil_div_by_cell(y + block.h));
        const int64_t first_col = std::max<int64_t>(0, ceil_div_by_cell(x));
        const int64_t end_col = std::min<int64_t>(mb_cols, ceil_div_by_cell(x + block.w));
        for (int64_t row = first_row; row < end_row; ++row) {
            for (int64_t col = first_col; col < end_col; ++col)
                out[static_cast<size_t>(row * mb_cols + col)] = static_cast<int8_t>(block.qp);
        }
    });
    if (fits) return QpCellFit::kFits;
    std::fill_n(out, cell_count, int8_t{-1});
    return QpCellFit::kOutOfRange;
}

ChromaQpOffsets read_chroma_qp_offsets(const AVFrame* frame) {
    const AVVideoEncParams* params = encoding_parameters(frame);
    if (params == nullptr) return {};
    return {params->delta_qp[1][0], params->delta_qp[2][0]};
}

std::string qp_cell_fit_message(QpCellFit fit, int frame_idx) {
    const std::string frame = std::to_string(frame_idx);
    switch (fit) {
        case QpCellFit::kQuantiserIndex:
            return "Frame " + frame + " carries VP9 quantiser indices (0..255), which an int8 QP "
                   "map cannot hold; get_qp_blocks(" + frame + ") gives them";
        case QpCellFit::kOutOfRange:
            return "Frame " + frame + " carries a QP outside 0..127, which an int8 QP map cannot "
                   "hold; get_qp_blocks(" + frame + ") gives the exact values";
        case QpCellFit::kFits:
            break;
    }
    return {};
}

std::vector<QpBlock> qp_blocks(const AVFrame* frame) {
    std::vector<QpBlock> blocks;
    const AVVideoEncParams* params = encoding_parameters(frame);
    if (params == nullptr) return blocks;
    blocks.reserve(std::max(1u, params->nb_blocks));
    for_each_qp_block(frame, *params, [&](const QpBlock& block) { blocks.push_back(block); });
    // VP9's slice threads export their blocks tile column by tile column.
    auto raster_order = [](const QpBlock& a, const QpBlock& b) {
        return std::tie(a.y, a.x) < std::tie(b.y, b.x);
    };
    if (!std::is_sorted(blocks.begin(), blocks.end(), raster_order))
        std::stable_sort(blocks.begin(), blocks.end(), raster_order);
    return blocks;
}

std::vector<AVMotionVector> motion_vectors(const AVFrame* frame) {
    const AVFrameSideData* side_data = av_frame_get_side_data(frame, AV_FRAME_DATA_MOTION_VECTORS);
    if (side_data == nullptr) return {};
    const auto* first = reinterpret_cast<const AVMotionVector*>(side_data->data);
    return {first, first + side_data->size / sizeof(AVMotionVector)};
}

std::shared_ptr<CachedFrame> capture_frame(const AVFrame* frame, int64_t pts) {
    auto record = std::make_shared<CachedFrame>();
    record->pts = pts;
    record->layout = picture_layout(frame);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    record->pix_fmt = desc != nullptr ? desc->name : "yuv420p";
    copy_planes(frame, *record);

    const int mb_rows = record->layout.mb_rows();
    const int mb_cols = record->layout.mb_cols();
    record->qp_map.resize(static_cast<size_t>(int64_t{mb_rows} * mb_cols));
    record->qp_cell_fit = fill_qp_cells(frame, record->qp_map.data(), mb_rows, mb_cols);
    record->qp_blocks = qp_blocks(frame);
    const ChromaQpOffsets offsets = read_chroma_qp_offsets(frame);
    record->cb_offset = offsets.cb;
    record->cr_offset = offsets.cr;
    record->motion_vectors = motion_vectors(frame);
    return record;
}
