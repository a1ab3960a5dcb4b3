#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
}

// MPEG-4 Part 2 in AVI often comes "packed" (DivX/XviD): a P and a B picture
// share one packet and a placeholder packet follows. Such packets go through
// FFmpeg's mpeg4_unpack_bframes filter, which gives one picture per packet and
// still one packet out per packet in, so packet positions stay aligned.

// An unpacking filter for the stream, or null when it needs none (another
// codec) or FFmpeg lacks the filter. The caller frees it with av_bsf_free.
AVBSFContext* open_unpacking_filter(const AVCodecParameters* params);

// Replaces `packet` by what the filter makes of it; false, with `packet`
// blank, when the filter gave nothing back.
bool unpack_packet(AVBSFContext* filter, AVPacket* packet);
