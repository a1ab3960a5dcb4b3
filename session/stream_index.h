#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "packet_index.h"

// What one pass over a video stream learns about it: every packet's metadata
// and the display-order numbering of its frames. Built once per file and then
// only read, so that any number of decoding cursors can share it.
struct StreamIndex {
    std::vector<PacketRecord> packets;
    std::vector<int64_t> display_pts;
    std::vector<int64_t> seek_pts;
    std::map<int64_t, int> pts_to_idx;
    // Per frame: demux position of the key packet decoding starts from, and
    // of the packet that carries the frame.
    std::vector<int> seek_packet;
    std::vector<int> frame_packet;
    // The stream's packets carry no presentation timestamps; their pts in
    // `packets` are display ranks recovered from the bitstream.
    bool synthetic_pts = false;

    int num_frames() const { return static_cast<int>(display_pts.size()); }
};

// Reads every packet of stream `video_stream_idx` from where `fmt_ctx` stands
// to the end and numbers the frames. Throws std::runtime_error when the
// stream has no packet; leaves the demuxer at the end of the input.
std::shared_ptr<const StreamIndex> build_stream_index(AVFormatContext* fmt_ctx,
                                                      int video_stream_idx,
                                                      const std::string& path);
