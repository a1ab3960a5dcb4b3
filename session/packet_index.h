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
    // The demuxer marks packets that an edit list cuts away: the decoder
    // decodes them as references but never outputs their pictures.
    bool discard = false;
    // What the codec's parser read from the packet's headers: picture type
    // ('I', 'P', 'B', 'S' or '?') and picture size (0 where not stated).
    char pict_type = '?';
    int32_t width = 0;
    int32_t height = 0;
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
