#include "coding_blocks.h"

#include <algorithm>

#include "cached_frame.h"

extern "C" {
#include <libavutil/opt.h>
}

// mbgauge's FFmpeg declares the side data in a header of its own; the
// system's FFmpeg has none, and then no picture carries coding blocks.
#if __has_include(<libavutil/coding_blocks.h>)
extern "C" {
#include <libavutil/coding_blocks.h>
}
#define MBGAUGE_HAVE_CODING_BLOCKS 1
#endif

const char* const kBlockKinds[7] = {"intra", "inter", "skip", "direct", "pcm", "merge", "lossless"};
const char* const kPartitions[8] = {"2Nx2N", "2NxN",  "Nx2N",  "NxN",
                                    "2NxnU", "2NxnD", "nLx2N", "nRx2N"};

bool coding_blocks_supported() {
#ifdef MBGAUGE_HAVE_CODING_BLOCKS
    // The module may load another libavcodec than the one it was built
    // against (a wheel's, a LD_LIBRARY_PATH): ask the loaded one.
    static const bool supported = [] {
        const AVClass* codec_class = avcodec_get_class();
        return av_opt_find(&codec_class, "coding_blocks", "export_side_data", 0,
                           AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
    }();
    return supported;
#else
    return false;
#endif
}

void request_coding_blocks(AVCodecContext* context) {
#ifdef MBGAUGE_HAVE_CODING_BLOCKS
    if (coding_blocks_supported()) context->export_side_data |= AV_CODEC_EXPORT_DATA_CODING_BLOCKS;
#else
    (void)context;
#endif
}

std::vector<CodingBlock> coding_blocks(const AVFrame* frame) {
    std::vector<CodingBlock> blocks;
#ifdef MBGAUGE_HAVE_CODING_BLOCKS
    const AVFrameSideData* side_data = av_frame_get_side_data(frame, AV_FRAME_DATA_CODING_BLOCKS);
    if (side_data == nullptr || side_data->size < sizeof(AVCodingBlocks)) return blocks;
    auto* header = reinterpret_cast<AVCodingBlocks*>(side_data->data);
    // Never trust the header further than the buffer reaches.
    if (header->block_size < sizeof(AVCodingBlock) || header->blocks_offset > side_data->size)
        return blocks;
    const size_t fitting = (side_data->size - header->blocks_offset) / header->block_size;
    const size_t count = std::min<size_t>(header->nb_blocks, fitting);
    // Placed as the QP blocks are.
    const PictureLayout layout = picture_layout(frame);
    blocks.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const AVCodingBlock* block = av_coding_blocks_block(header, static_cast<unsigned>(i));
        CodingBlock out;
        out.x = block->src_x - layout.crop_left;
        out.y = block->src_y - layout.crop_top;
        out.w = block->w;
        out.h = block->h;
        out.qp = block->qp;
        out.kind = block->type;
        out.partition = block->partition;
        out.transform = block->log2_transform_size;
        out.intra_mode = block->intra_pred_mode;
        out.bits = block->bits;
        blocks.push_back(out);
    }
#else
    (void)frame;
#endif
    return blocks;
}
