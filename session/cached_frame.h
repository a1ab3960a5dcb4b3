#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
#include <libavutil/motion_vector.h>
}

#include "picture_layout.h"

// One block of a picture's exported encoding parameters, in luma samples of
// the picture; `qp` is the frame's base plus the block's delta, unclamped.
struct QpBlock {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
    int32_t qp = 0;
};

// Whether a picture's QPs fit a map of int8 cells that keeps -1 for "none".
enum class QpCellFit {
    kFits,
    // VP9 exports its quantiser index, 0..255.
    kQuantiserIndex,
    // Some block's QP lies outside 0..127.
    kOutOfRange,
};

// Everything the frame queries need from one decoded picture, copied out of
// the decoder's memory. Never modified after capture_frame has built it.
struct CachedFrame {
    int64_t pts = AV_NOPTS_VALUE;
    // The visible picture, its planes and its macroblock grid.
    PictureLayout layout;
    std::string pix_fmt;
    // The visible rows of each plane, linesize[i] bytes apart.
    std::array<std::vector<uint8_t>, kMaxCachedPlanes> planes;
    int linesize[kMaxCachedPlanes] = {0, 0, 0};
    // layout.mb_rows() x layout.mb_cols() macroblock QPs, row-major; -1 where
    // no block wrote, and everywhere when qp_cell_fit is not kFits.
    std::vector<int8_t> qp_map;
    QpCellFit qp_cell_fit = QpCellFit::kFits;
    // The exported blocks in raster order of their top-left corners.
    std::vector<QpBlock> qp_blocks;
    // Empty unless the decoder was asked to export motion vectors.
    std::vector<AVMotionVector> motion_vectors;
    int cb_offset = 0;
    int cr_offset = 0;
};

struct ChromaQpOffsets {
    int cb = 0;
    int cr = 0;
};

// Copies the visible rows of plane `plane` of a decoded frame to `out`, each
// `plane_width * bytes_per_sample` bytes, one after another; zeros where the
// frame has no data. Throws std::runtime_error for a stride shorter than a row.
void copy_visible_plane(const AVFrame* frame, const PictureLayout& layout, int plane,
                        uint8_t* out);

// Writes the QP of every 16x16 cell of a decoded picture into the row-major
// `mb_rows` x `mb_cols` cells at `out`. A cell takes the block that covers its
// top-left luma sample, so a block fills every cell it covers and, among
// blocks smaller than a cell, the top-left one stands for the cell. Cells no
// block reaches hold -1; when the picture's QPs do not fit int8 cells (see
// QpCellFit) every cell holds -1 and the result says why. Both the frame
// records and the batch queries fill their maps through it.
QpCellFit fill_qp_cells(const AVFrame* frame, int8_t* out, int mb_rows, int mb_cols);

// The picture's chroma QP offsets; 0, 0 when it carries no encoding parameters.
ChromaQpOffsets read_chroma_qp_offsets(const AVFrame* frame);

// The text of the error a QP map query reports for a picture whose QPs do
// not fit int8 cells.
std::string qp_cell_fit_message(QpCellFit fit, int frame_idx);

// The picture's exported QP blocks in raster order of their top-left
// corners; for a picture whose parameters carry a frame quantiser but no
// block, one block covering the picture. Empty without encoding parameters.
std::vector<QpBlock> qp_blocks(const AVFrame* frame);

// The motion vectors the decoder attached to the picture, in its order.
std::vector<AVMotionVector> motion_vectors(const AVFrame* frame);

// Copies planes, macroblock QP map, QP blocks, chroma QP offsets and motion
// vectors out of a decoded frame. `pts` is the timestamp under which the
// frame was indexed.
std::shared_ptr<CachedFrame> capture_frame(const AVFrame* frame, int64_t pts);
