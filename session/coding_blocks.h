#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

// One H.264 macroblock or HEVC coding unit as mbgauge hands it out, laid out
// as the structured array of get_coding_blocks: x, y on the visible picture
// (as QP blocks are placed), `kind` and `partition` indices into the names
// below.
struct CodingBlock {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
    int32_t qp = 0;
    uint8_t kind = 0;
    uint8_t partition = 0;
    uint8_t transform = 0;
    uint8_t padding = 0;
    int16_t intra_mode = -1;
    int16_t padding2 = 0;
    int32_t bits = 0;
};

// The names of the kinds and partitions, in the order of FFmpeg's
// AVCodingBlockType and AVCodingBlockPartition (mbgauge's FFmpeg).
extern const char* const kBlockKinds[7];
extern const char* const kPartitions[8];

// True when the FFmpeg mbgauge runs on exports coding blocks: it was built
// with the header that declares them, and the libavcodec it loaded knows the
// "coding_blocks" flag of export_side_data.
bool coding_blocks_supported();

// Asks the decoder context for coding blocks when the FFmpeg can export them.
void request_coding_blocks(AVCodecContext* context);

// The picture's coding blocks, placed on the visible picture (the crop at
// the left and top taken off), in the decoder's order (raster order of their
// top-left corners). Empty when the picture carries none.
std::vector<CodingBlock> coding_blocks(const AVFrame* frame);
