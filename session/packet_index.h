#pragma once

#include <cstdint>
#include <map>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

// Metadata of one packet of the video stream; the payload is never kept.
struct PacketRecord {
    int64_t pts;
    int64_t dts;
    int64_t pos;
    int32_t size;
    bool is_key;
    int32_t decode_idx;
    // The demuxer marks packets that an edit list cuts away: the decoder
    // decodes them as references but never outputs their pictures.
    bool discard = false;
    // Added to the demuxer's pts and dts to keep byte-joined recordings apart
    // (see separate_joined_recordings); pts and dts above include it.
    int64_t timestamp_shift = 0;
    // The container's own pts where `pts` holds a display rank recovered from
    // the bitstream instead; seeks by pts (MP4, Matroska) need it.
    int64_t container_pts = AV_NOPTS_VALUE;
    // What the codec's parser read from the packet's headers: picture type
    // ('I', 'P', 'B', 'S' or '?') and picture size (0 where not stated).
    char pict_type = '?';
    int32_t width = 0;
    int32_t height = 0;
    // The demuxer read less than the container said the packet holds (MP4
    // cut short: its index lists samples beyond the end of the file).
    bool cut_short = false;
};

// Frame numbering of a stream, derived from its packets in demux order.
struct FrameTables {
    // Distinct presentation timestamps in ascending order; position = frame.
    std::vector<int64_t> display_pts;
    // Per frame, the pts of the key packet that decoding starts from.
    std::vector<int64_t> seek_pts;
    // Per frame, the demux position of that key packet.
    std::vector<int> seek_packet;
    // Per frame, the demux position of the packet that carries the frame.
    std::vector<int> frame_packet;
    std::map<int64_t, int> pts_to_idx;
};

// Frame f is the f-th distinct presentation timestamp in ascending order. It
// is reached from the last key packet at or before its own packet in demux
// order; a leading picture of an open GOP (displayed before the key picture
// that precedes it in decode order) references the group before, so it is
// reached from the key packet before that one.
FrameTables number_frames(const std::vector<PacketRecord>& packets);

// The key packet that precedes `packet_idx` in demux order, or -1.
int previous_key_packet(const std::vector<PacketRecord>& packets, int packet_idx);

// Recordings joined byte by byte (`cat a.ts b.ts`) each start their own
// timestamps, so the second may repeat or undercut the first's. A packet
// whose dts (pts when it has none) falls below the one before it in demux
// order starts a new recording; every recording's timestamps are shifted to
// follow the previous one's, so that sorting by pts gives the order in which
// the file plays. Returns the number of recordings.
int separate_joined_recordings(std::vector<PacketRecord>& packets);

// True when the packets' pts rise strictly in demux order, that is, claim
// that no picture is shown out of decode order.
bool pts_follow_decode_order(const std::vector<PacketRecord>& packets);

// Marks the packets ahead of the first key packet as giving no frame: without
// the parameter sets and references that came before the cut, the decoder
// puts none of their pictures out. No-op when no packet is a key packet.
void drop_packets_before_first_key(std::vector<PacketRecord>& packets);
