// QP cells and blocks from encoding parameters made by hand, with the block
// sizes and layouts that FFmpeg's decoders export: 16x16 macroblocks (H.264,
// MPEG), 8..64 sample blocks in any mix (VP9 partitions, HEVC coding blocks),
// blocks that start left of or above the picture (HEVC's conformance window),
// and VP9's frame quantiser without blocks.
//
// Usage: test_qp_cells [--list | --run NAME]

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/motion_vector.h>
#include <libavutil/video_enc_params.h>
}

#include "session/cached_frame.h"
#include "tests/cpp/check.h"

namespace {

struct Block {
    int x, y, w, h, delta;
};

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

FramePtr picture(int width, int height) {
    FramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    return frame;
}

FramePtr picture_with_blocks(int width, int height, AVVideoEncParamsType type, int base,
                             const std::vector<Block>& blocks) {
    FramePtr frame = picture(width, height);
    AVVideoEncParams* params =
        av_video_enc_params_create_side_data(frame.get(), type, static_cast<unsigned>(blocks.size()));
    params->qp = base;
    for (size_t i = 0; i < blocks.size(); ++i) {
        AVVideoBlockParams* block = av_video_enc_params_block(params, static_cast<unsigned>(i));
        block->src_x = blocks[i].x;
        block->src_y = blocks[i].y;
        block->w = blocks[i].w;
        block->h = blocks[i].h;
        block->delta_qp = blocks[i].delta;
    }
    return frame;
}

struct Cells {
    QpCellFit fit;
    std::vector<int> values;  // row-major, as ints for readable failures
};

Cells cells_of(const AVFrame* frame) {
    const int cols = (frame->width + 15) / 16;
    const int rows = (frame->height + 15) / 16;
    // A guard cell after the map catches a write past its end.
    std::vector<int8_t> out(static_cast<size_t>(rows * cols) + 1, 99);
    const QpCellFit fit = fill_qp_cells(frame, out.data(), rows, cols);
    CHECK_EQ(int{out.back()}, 99);
    return {fit, std::vector<int>(out.begin(), out.end() - 1)};
}

std::string show_fit(QpCellFit fit) {
    switch (fit) {
        case QpCellFit::kFits: return "fits";
        case QpCellFit::kQuantiserIndex: return "quantiser index";
        case QpCellFit::kOutOfRange: return "out of range";
    }
    return "?";
}

// "x y w h qp" of each block.
std::vector<std::string> block_rows(const std::vector<QpBlock>& blocks) {
    std::vector<std::string> rows;
    for (const QpBlock& b : blocks) {
        rows.push_back(std::to_string(b.x) + " " + std::to_string(b.y) + " " + std::to_string(b.w) +
                       " " + std::to_string(b.h) + " " + std::to_string(b.qp));
    }
    return rows;
}

// ---- tests -----------------------------------------------------------------

void test_macroblocks_fill_their_own_cell() {
    // 48x40: 3 x 3 cells, the bottom row cropped to 8 lines as in 1080p.
    std::vector<Block> blocks;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) blocks.push_back({16 * col, 16 * row, 16, 16, row * 3 + col});
    // Outside the grid on the right and below: no cell.
    blocks.push_back({48, 0, 16, 16, 40});
    blocks.push_back({0, 48, 16, 16, 40});
    const Cells cells = cells_of(picture_with_blocks(48, 40, AV_VIDEO_ENC_PARAMS_H264, 26, blocks).get());
    CHECK_EQ(show_fit(cells.fit), "fits");
    CHECK_EQ(cells.values, (std::vector<int>{26, 27, 28, 29, 30, 31, 32, 33, 34}));
}

void test_blocks_without_size_count_as_macroblocks() {
    const Cells cells =
        cells_of(picture_with_blocks(64, 64, AV_VIDEO_ENC_PARAMS_MPEG2, 0, {{32, 48, 0, 0, 7}}).get());
    std::vector<int> expected(16, -1);
    expected[3 * 4 + 2] = 7;
    CHECK_EQ(cells.values, expected);
}

void test_large_blocks_fill_every_cell_they_cover() {
    // 128x64 picture (8 x 4 cells): a 64x64 block, two 32x32 and a 32x16 pair.
    const FramePtr frame = picture_with_blocks(128, 64, AV_VIDEO_ENC_PARAMS_H264, 30,
                                               {{0, 0, 64, 64, 1},
                                                {64, 0, 32, 32, 2},
                                                {96, 0, 32, 32, 3},
                                                {64, 32, 64, 16, 4},
                                                {64, 48, 64, 16, 5}});
    const Cells cells = cells_of(frame.get());
    CHECK_EQ(cells.values, (std::vector<int>{31, 31, 31, 31, 32, 32, 33, 33,  //
                                             31, 31, 31, 31, 32, 32, 33, 33,  //
                                             31, 31, 31, 31, 34, 34, 34, 34,  //
                                             31, 31, 31, 31, 35, 35, 35, 35}));
}

void test_small_blocks_leave_the_cell_to_the_block_at_its_corner() {
    // 8x8 blocks over a 32x32 picture, each with its own QP: a cell shows
    // the block at its top-left sample; 8x16 and 16x8 halves likewise.
    std::vector<Block> blocks;
    for (int y = 0; y < 32; y += 8)
        for (int x = 0; x < 32; x += 8) blocks.push_back({x, y, 8, 8, y + x / 8});
    Cells cells = cells_of(picture_with_blocks(32, 32, AV_VIDEO_ENC_PARAMS_H264, 10, blocks).get());
    CHECK_EQ(cells.values, (std::vector<int>{10, 12, 26, 28}));

    cells = cells_of(picture_with_blocks(32, 16, AV_VIDEO_ENC_PARAMS_H264, 10,
                                         {{0, 0, 8, 16, 1}, {8, 0, 8, 16, 2},
                                          {16, 0, 16, 8, 3}, {16, 8, 16, 8, 4}})
                         .get());
    CHECK_EQ(cells.values, (std::vector<int>{11, 13}));
}

void test_blocks_starting_outside_the_picture() {
    // A cropped picture: blocks begin 8 samples left of and above it.
    const FramePtr frame = picture_with_blocks(56, 40, AV_VIDEO_ENC_PARAMS_H264, 20,
                                               {{-8, -8, 32, 32, 1},
                                                {24, -8, 32, 32, 2},
                                                {-8, 24, 64, 32, 3}});
    const Cells cells = cells_of(frame.get());
    // Columns start at 0, 16, 32, 48: 0 and 16 lie in [-8, 24), 32 and 48 in
    // [24, 56); rows 0 and 16 in [-8, 24), row 32 in [24, 56).
    CHECK_EQ(cells.values, (std::vector<int>{21, 21, 22, 22,  //
                                             21, 21, 22, 22,  //
                                             23, 23, 23, 23}));
}

void test_later_block_wins_a_cell() {
    const Cells cells = cells_of(
        picture_with_blocks(16, 16, AV_VIDEO_ENC_PARAMS_H264, 20, {{0, 0, 16, 16, 1}, {0, 0, 16, 16, 5}}).get());
    CHECK_EQ(cells.values, (std::vector<int>{25}));
}

void test_values_beyond_int8_cells_are_refused_not_clamped() {
    // 127 still fits (14-bit H.264 reaches 87); 128 and negatives do not.
    Cells cells = cells_of(picture_with_blocks(32, 16, AV_VIDEO_ENC_PARAMS_H264, 26,
                                               {{0, 0, 16, 16, 101}, {16, 0, 16, 16, 40}}).get());
    CHECK_EQ(show_fit(cells.fit), "fits");
    CHECK_EQ(cells.values, (std::vector<int>{127, 66}));

    for (const int delta : {102, -27, 1000}) {
        cells = cells_of(picture_with_blocks(32, 16, AV_VIDEO_ENC_PARAMS_H264, 26,
                                             {{0, 0, 16, 16, 0}, {16, 0, 16, 16, delta}}).get());
        CHECK_EQ(show_fit(cells.fit), "out of range");
        CHECK_EQ(cells.values, (std::vector<int>{-1, -1}));
    }
}

void test_vp9_quantiser_index_has_no_cells_but_blocks() {
    // Without segmentation: the frame quantiser alone, as one block.
    FramePtr frame = picture_with_blocks(100, 50, AV_VIDEO_ENC_PARAMS_VP9, 180, {});
    Cells cells = cells_of(frame.get());
    CHECK_EQ(show_fit(cells.fit), "quantiser index");
    CHECK_EQ(cells.values, std::vector<int>(7 * 4, -1));
    CHECK_EQ(block_rows(qp_blocks(frame.get())), (std::vector<std::string>{"0 0 100 50 180"}));

    // Even when every value would fit: the scale is not a QP's.
    frame = picture_with_blocks(16, 16, AV_VIDEO_ENC_PARAMS_VP9, 20, {{0, 0, 16, 16, -5}});
    CHECK_EQ(show_fit(cells_of(frame.get()).fit), "quantiser index");
    CHECK_EQ(block_rows(qp_blocks(frame.get())), (std::vector<std::string>{"0 0 16 16 15"}));
}

void test_parameters_without_a_frame_quantiser_give_no_block() {
    // Types whose base only anchors block deltas, and parameters not filled
    // in yet (type none), carry nothing without blocks.
    for (const AVVideoEncParamsType type :
         {AV_VIDEO_ENC_PARAMS_NONE, AV_VIDEO_ENC_PARAMS_H264, AV_VIDEO_ENC_PARAMS_MPEG2}) {
        const FramePtr frame = picture_with_blocks(32, 32, type, 26, {});
        const Cells cells = cells_of(frame.get());
        CHECK_EQ(show_fit(cells.fit), "fits");
        CHECK_EQ(cells.values, std::vector<int>(4, -1));
        CHECK(qp_blocks(frame.get()).empty());
    }
    const FramePtr bare = picture(32, 32);
    CHECK_EQ(show_fit(cells_of(bare.get()).fit), "fits");
    CHECK(qp_blocks(bare.get()).empty());
    CHECK(motion_vectors(bare.get()).empty());
}

void test_blocks_come_in_raster_order_with_unclamped_qp() {
    // VP9's tile threads export tile column by tile column.
    const FramePtr frame = picture_with_blocks(128, 64, AV_VIDEO_ENC_PARAMS_VP9, 200,
                                               {{0, 0, 64, 64, 0},
                                                {64, 0, 64, 32, 80},
                                                {64, 32, 64, 32, -210}});
    CHECK_EQ(block_rows(qp_blocks(frame.get())),
             (std::vector<std::string>{"0 0 64 64 200", "64 0 64 32 280", "64 32 64 32 -10"}));
    const FramePtr tiles = picture_with_blocks(128, 64, AV_VIDEO_ENC_PARAMS_VP9, 0,
                                               {{0, 0, 64, 32, 1},
                                                {0, 32, 64, 32, 2},
                                                {64, 0, 64, 32, 3},
                                                {64, 32, 64, 32, 4}});
    CHECK_EQ(block_rows(qp_blocks(tiles.get())),
             (std::vector<std::string>{"0 0 64 32 1", "64 0 64 32 3", "0 32 64 32 2", "64 32 64 32 4"}));
}

void test_record_keeps_blocks_vectors_and_fit() {
    FramePtr frame = picture_with_blocks(32, 16, AV_VIDEO_ENC_PARAMS_VP9, 90, {});
    frame->format = AV_PIX_FMT_GRAY8;
    AVFrameSideData* side =
        av_frame_new_side_data(frame.get(), AV_FRAME_DATA_MOTION_VECTORS, 2 * sizeof(AVMotionVector));
    auto* vectors = reinterpret_cast<AVMotionVector*>(side->data);
    vectors[0] = AVMotionVector{-1, 16, 16, 3, 4, 8, 8, 0, -20, 16, 4};
    vectors[1] = AVMotionVector{1, 8, 8, 30, 0, 24, 4, 0x10, 24, -16, 4};
    const std::shared_ptr<CachedFrame> record = capture_frame(frame.get(), 5);
    CHECK_EQ(show_fit(record->qp_cell_fit), "quantiser index");
    CHECK_EQ(block_rows(record->qp_blocks), (std::vector<std::string>{"0 0 32 16 90"}));
    CHECK_EQ(record->motion_vectors.size(), size_t{2});
    CHECK(std::memcmp(record->motion_vectors.data(), vectors, 2 * sizeof(AVMotionVector)) == 0);
}

const check::TestList kTests = {
    {"macroblocks_fill_their_own_cell", test_macroblocks_fill_their_own_cell},
    {"blocks_without_size_count_as_macroblocks", test_blocks_without_size_count_as_macroblocks},
    {"large_blocks_fill_every_cell_they_cover", test_large_blocks_fill_every_cell_they_cover},
    {"small_blocks_leave_the_cell_to_the_block_at_its_corner",
     test_small_blocks_leave_the_cell_to_the_block_at_its_corner},
    {"blocks_starting_outside_the_picture", test_blocks_starting_outside_the_picture},
    {"later_block_wins_a_cell", test_later_block_wins_a_cell},
    {"values_beyond_int8_cells_are_refused_not_clamped",
     test_values_beyond_int8_cells_are_refused_not_clamped},
    {"vp9_quantiser_index_has_no_cells_but_blocks", test_vp9_quantiser_index_has_no_cells_but_blocks},
    {"parameters_without_a_frame_quantiser_give_no_block",
     test_parameters_without_a_frame_quantiser_give_no_block},
    {"blocks_come_in_raster_order_with_unclamped_qp", test_blocks_come_in_raster_order_with_unclamped_qp},
    {"record_keeps_blocks_vectors_and_fit", test_record_keeps_blocks_vectors_and_fit},
};

}  // namespace

int main(int argc, char** argv) { return check::main(argc, argv, kTests); }
