#include "packet_index.h"

#include <algorithm>

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
