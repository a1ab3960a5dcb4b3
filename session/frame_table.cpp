#include "frame_table.h"

extern "C" {
#include <libavutil/mathematics.h>
}

std::vector<FrameFacts> frame_facts(const H264DecoderSession& session) {
    const StreamIndex& index = session.index();
    const AVRational time_base = session.time_base();
    // Multiplied before dividing, so that a time a whole number of ticks
    // makes is the nearest double (17920 / 12800 is 1.4, not 1.4000000000000001).
    const auto seconds = [](int64_t ticks, AVRational unit) {
        return unit.den != 0 ? static_cast<double>(ticks) * unit.num / unit.den : 0.0;
    };
    // Display ranks stand in for the timestamps of a stream without any: the
    // frame rate gives their time.
    const AVRational frame_duration{session.fps_den(), session.fps_num()};
    std::vector<FrameFacts> table(static_cast<size_t>(session.num_frames()));
    for (size_t frame = 0; frame < table.size(); ++frame) {
        const PacketRecord& packet = index.packets[static_cast<size_t>(index.frame_packet[frame])];
        FrameFacts& facts = table[frame];
        facts.pts = index.display_pts[frame];
        facts.time = seconds(facts.pts, time_base);
        if (index.synthetic_pts) {
            facts.time = seconds(facts.pts, frame_duration);
            if (time_base.num > 0) facts.pts = av_rescale_q(facts.pts, frame_duration, time_base);
        }
        facts.key = packet.is_key;
        facts.pict_type = static_cast<char32_t>(packet.pict_type);
        facts.packet_size = packet.size;
        facts.width = packet.width;
        facts.height = packet.height;
    }
    return table;
}
