#include "packet_index.h"

#include <algorithm>
#include <utility>

extern "C" {
#include <libavutil/avutil.h>
}

void number_frames(const std::vector<PacketRecord>& packets,
                   std::vector<int64_t>& display_pts,
                   std::vector<int64_t>& seek_pts,
                   std::map<int64_t, int>& pts_to_idx) {
    display_pts.clear();
    seek_pts.clear();
    pts_to_idx.clear();
    if (packets.empty()) return;

    // Packets ahead of the first key packet share the first packet's pts
    // (or 0 when it has none) as their key timestamp.
    int64_t key_pts = packets.front().pts == AV_NOPTS_VALUE ? 0 : packets.front().pts;
    std::vector<std::pair<int64_t, int64_t>> pts_and_key;
    pts_and_key.reserve(packets.size());
    for (const PacketRecord& packet : packets) {
        if (packet.is_key) key_pts = packet.pts;
        if (packet.pts != AV_NOPTS_VALUE) pts_and_key.emplace_back(packet.pts, key_pts);
    }
    std::sort(pts_and_key.begin(), pts_and_key.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    display_pts.reserve(pts_and_key.size());
    seek_pts.reserve(pts_and_key.size());
    for (const auto& [pts, key] : pts_and_key) {
        if (!display_pts.empty() && display_pts.back() == pts) continue;
        pts_to_idx[pts] = static_cast<int>(display_pts.size());
        display_pts.push_back(pts);
        seek_pts.push_back(key);
    }
}
