#pragma once

#include <cstdint>
#include <map>
#include <vector>

// Metadata of one packet of the video stream; the payload is never kept.
struct PacketRecord {
    int64_t pts;
    int64_t dts;
    int64_t pos;
    int32_t size;
    bool is_key;
    int32_t decode_idx;
};

// Numbers the frames of a stream from its packets in demux order: frame f is
// the f-th distinct presentation timestamp in ascending order, reached by
// seeking to the pts of the last key packet at or before it in demux order.
// The three tables are cleared first.
void number_frames(const std::vector<PacketRecord>& packets,
                   std::vector<int64_t>& display_pts,
                   std::vector<int64_t>& seek_pts,
                   std::map<int64_t, int>& pts_to_idx);
