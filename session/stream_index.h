#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "packet_index.h"

// Frame numbers by display timestamp, in timestamp order: one block of
// memory, where a std::map takes an allocation per frame (a reopen builds this
// from the index cache, for every frame of the file).
class FrameByPts {
public:
    using Entry = std::pair<int64_t, int>;
    using const_iterator = std::vector<Entry>::const_iterator;

    FrameByPts() = default;
    explicit FrameByPts(const std::map<int64_t, int>& frames) : entries_(frames.begin(), frames.end()) {}

    // Appends an entry; false (nothing added) unless `pts` is above the last.
    bool append(int64_t pts, int frame) {
        if (!entries_.empty() && pts <= entries_.back().first) return false;
        entries_.emplace_back(pts, frame);
        return true;
    }
    void reserve(size_t count) { entries_.reserve(count); }

    const_iterator find(int64_t pts) const {
        const auto found = std::lower_bound(
            entries_.begin(), entries_.end(), pts,
            [](const Entry& entry, int64_t wanted) { return entry.first < wanted; });
        return found != entries_.end() && found->first == pts ? found : entries_.end();
    }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    size_t size() const { return entries_.size(); }

private:
    std::vector<Entry> entries_;
};

// What one pass over a video stream learns about it: every packet's metadata
// and the display-order numbering of its frames. Built once per file and then
// only read, so that any number of decoding cursors can share it.
struct StreamIndex {
    std::vector<PacketRecord> packets;
    std::vector<int64_t> display_pts;
    std::vector<int64_t> seek_pts;
    FrameByPts pts_to_idx;
    // Per frame: demux position of the key packet decoding starts from, and
    // of the packet that carries the frame.
    std::vector<int> seek_packet;
    std::vector<int> frame_packet;
    // Per packet: a key packet from which decoding can start afresh without
    // changing any picture, because no frame carried at or after it is
    // reached from an earlier key packet (an open GOP's leading pictures
    // are). The cursor gives the decoder a fresh start at each one it
    // crosses, as at every seek, so that a picture of a damaged stream comes
    // out the same whichever query reached it.
    std::vector<bool> restart_point;
    // The stream's packets carry no presentation timestamps; their pts in
    // `packets` are display ranks recovered from the bitstream.
    bool synthetic_pts = false;
    // Byte-joined recordings found in the file (1 for an ordinary file); with
    // more, a timestamp may stand for a packet of each, so seeks go by byte
    // position first (see separate_joined_recordings).
    int recording_count = 1;
    // Streams whose parameter sets change (joined recordings): every state
    // of them as one packet, and per packet the state in effect there. Empty
    // when they never change.
    std::vector<std::vector<uint8_t>> parameter_set_packets;
    std::vector<int> parameter_sets_at;

    int num_frames() const { return static_cast<int>(display_pts.size()); }
};

// Reads every packet of stream `video_stream_idx` from where `fmt_ctx` stands
// to the end and numbers the frames. Throws std::runtime_error when the
// stream has no packet; leaves the demuxer at the end of the input.
std::shared_ptr<const StreamIndex> build_stream_index(AVFormatContext* fmt_ctx,
                                                      int video_stream_idx,
                                                      const std::string& path);

// Fills `restart_point` from the packets and the frame tables.
void mark_restart_points(StreamIndex& index);

// The frames whose pictures may not come out of the decoder because a packet
// they depend on was cut short: those carried from the key point before the
// first such packet onwards, ascending. Empty when no packet was cut short.
std::vector<int> frames_after_cut(const StreamIndex& index);

// A copy of `index` without the frames `missing` (ascending frame indices),
// the remaining frames renumbered in display order.
std::shared_ptr<const StreamIndex> without_frames(const StreamIndex& index,
                                                  const std::vector<int>& missing);
