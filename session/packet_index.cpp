#include "packet_index.h"

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavutil/avutil.h>
}

namespace {

struct Candidate {
    int64_t pts;
    int64_t key_pts;
    int key_packet;
    int packet;
};

struct KeyPoint {
    int64_t pts;
    int packet;
};

}  // namespace

FrameTables number_frames(const std::vector<PacketRecord>& packets) {
    FrameTables tables;
    if (packets.empty()) return tables;

    // Packets ahead of the first key packet start from the first packet, whose
    // pts (or 0 when it has none) stands for their key timestamp.
    KeyPoint key{packets.front().pts == AV_NOPTS_VALUE ? 0 : packets.front().pts, 0};
    KeyPoint previous_key{AV_NOPTS_VALUE, -1};
    std::vector<Candidate> candidates;
    candidates.reserve(packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        const PacketRecord& packet = packets[i];
        if (packet.is_key) {
            if (i > 0) previous_key = key;
            key = KeyPoint{packet.pts, static_cast<int>(i)};
        }
        if (packet.pts == AV_NOPTS_VALUE || packet.discard) continue;
        const bool leading = key.pts != AV_NOPTS_VALUE && packet.pts < key.pts &&
                             previous_key.packet >= 0;
        const KeyPoint& start = leading ? previous_key : key;
        candidates.push_back(Candidate{packet.pts, start.pts, start.packet, static_cast<int>(i)});
    }
    // Stable, so that of several packets with one pts the first in demux order counts.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.pts < b.pts; });

    for (const Candidate& candidate : candidates) {
        if (!tables.display_pts.empty() && tables.display_pts.back() == candidate.pts) continue;
        tables.pts_to_idx[candidate.pts] = static_cast<int>(tables.display_pts.size());
        tables.display_pts.push_back(candidate.pts);
        tables.seek_pts.push_back(candidate.key_pts);
        tables.seek_packet.push_back(candidate.key_packet);
        tables.frame_packet.push_back(candidate.packet);
    }
    return tables;
}

int previous_key_packet(const std::vector<PacketRecord>& packets, int packet_idx) {
    for (int i = packet_idx - 1; i >= 0; --i) {
        if (packets[i].is_key) return i;
    }
    return -1;
}

namespace {

int64_t order_timestamp(const PacketRecord& packet) {
    return packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
}

}  // namespace

int separate_joined_recordings(std::vector<PacketRecord>& packets) {
    std::vector<size_t> starts{0};
    int64_t previous = AV_NOPTS_VALUE;
    for (size_t i = 0; i < packets.size(); ++i) {
        const int64_t timestamp = order_timestamp(packets[i]);
        if (timestamp == AV_NOPTS_VALUE) continue;
        if (previous != AV_NOPTS_VALUE && timestamp < previous) starts.push_back(i);
        previous = timestamp;
    }
    starts.push_back(packets.size());

    int64_t previous_end = AV_NOPTS_VALUE;
    for (size_t r = 0; r + 1 < starts.size(); ++r) {
        int64_t lowest = INT64_MAX;
        int64_t highest = INT64_MIN;
        for (size_t i = starts[r]; i < starts[r + 1]; ++i) {
            for (const int64_t t : {packets[i].pts, packets[i].dts}) {
                if (t == AV_NOPTS_VALUE) continue;
                lowest = std::min(lowest, t);
                highest = std::max(highest, t);
            }
        }
        if (lowest > highest) continue;
        const int64_t shift = previous_end == AV_NOPTS_VALUE || lowest > previous_end
                                  ? 0
                                  : previous_end + 1 - lowest;
        for (size_t i = starts[r]; i < starts[r + 1]; ++i) {
            PacketRecord& packet = packets[i];
            if (packet.pts != AV_NOPTS_VALUE) packet.pts += shift;
            if (packet.dts != AV_NOPTS_VALUE) packet.dts += shift;
            packet.timestamp_shift = shift;
        }
        previous_end = highest + shift;
    }
    return static_cast<int>(starts.size()) - 1;
}

bool pts_follow_decode_order(const std::vector<PacketRecord>& packets) {
    int64_t previous = AV_NOPTS_VALUE;
    int timed = 0;
    for (const PacketRecord& packet : packets) {
        if (packet.pts == AV_NOPTS_VALUE || packet.discard) continue;
        if (previous != AV_NOPTS_VALUE && packet.pts <= previous) return false;
        previous = packet.pts;
        ++timed;
    }
    return timed > 1;
}

void drop_packets_before_first_key(std::vector<PacketRecord>& packets) {
    const auto first_key = std::find_if(packets.begin(), packets.end(),
                                        [](const PacketRecord& packet) { return packet.is_key; });
    if (first_key == packets.end()) return;
    for (auto packet = packets.begin(); packet != first_key; ++packet) packet->discard = true;
}
