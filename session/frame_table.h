#pragma once

#include <cstdint>
#include <vector>

#include "h264_decoder_session.h"

// What the packet index knows of one frame, without decoding it.
struct FrameFacts {
    int64_t pts = 0;
    // Seconds from the stream's time base (or, for a stream without
    // timestamps, from its frame rate).
    double time = 0.0;
    bool key = false;
    // FFmpeg's letter of the picture type ('I', 'P', 'B', ...; '?' unknown).
    char32_t pict_type = 0;
    int32_t packet_size = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// One entry per frame, in display order.
std::vector<FrameFacts> frame_facts(const H264DecoderSession& session);
