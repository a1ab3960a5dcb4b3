#include "stream_index.h"

#include <new>
#include <stdexcept>

extern "C" {
#include <libavcodec/bsf.h>
}

#include "display_order.h"
#include "packed_frames.h"

namespace {

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FilterDeleter {
    void operator()(AVBSFContext* filter) const { av_bsf_free(&filter); }
};

// The frame table shows I, P, B and S; SI, SP and BI pictures and pictures
// the parser could not read are '?'.
char picture_type_char(int type) {
    switch (type) {
    case AV_PICTURE_TYPE_I: return 'I';
    case AV_PICTURE_TYPE_P: return 'P';
    case AV_PICTURE_TYPE_B: return 'B';
    case AV_PICTURE_TYPE_S: return 'S';
    default: return '?';
    }
}

}  // namespace

std::shared_ptr<const StreamIndex> build_stream_index(AVFormatContext* fmt_ctx,
                                                      int video_stream_idx,
                                                      const std::string& path) {
    auto index = std::make_shared<StreamIndex>();
    std::vector<PacketRecord>& packets = index->packets;
    const AVCodecParameters* params = fmt_ctx->streams[video_stream_idx]->codecpar;
    // Some containers (AVI) give packets a dts only. Without reordering, decode
    // order is display order and that dts is the picture's presentation time;
    // decoded pictures carry it as their pkt_dts.
    const bool dts_is_display_time = params->video_delay == 0;
    // Packets without a pts (raw streams; AVI with B-frames, where the demuxer
    // fills in the pts of B pictures only; the odd PES without one in MPEG-PS)
    // need the display order read from the bitstream headers. It is read for
    // every stream the parser knows and used only where a pts is missing.
    DisplayOrderRecovery recovery(params);
    std::unique_ptr<AVBSFContext, FilterDeleter> scan_unpacker(open_unpacking_filter(params));
    bool pts_missing = false;
    {
        std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
        if (!packet) throw std::bad_alloc();
        while (av_read_frame(fmt_ctx, packet.get()) >= 0) {
            if (packet->stream_index == video_stream_idx) {
                const int64_t pts =
                    packet->pts == AV_NOPTS_VALUE && dts_is_display_time ? packet->dts : packet->pts;
                pts_missing = pts_missing || pts == AV_NOPTS_VALUE;
                packets.push_back(PacketRecord{pts, packet->dts, packet->pos, packet->size,
                                               (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                               static_cast<int32_t>(packets.size()),
                                               (packet->flags & AV_PKT_FLAG_DISCARD) != 0});
                if (scan_unpacker) {
                    // Packed streams flag whatever packet the container's index
                    // names (even a placeholder); an unpacked I picture is the key.
                    unpack_packet(scan_unpacker.get(), packet.get());
                    recovery.observe(packet.get());
                    packets.back().is_key = recovery.last_picture_type() == AV_PICTURE_TYPE_I;
                } else {
                    recovery.observe(packet.get());
                }
                PacketRecord& record = packets.back();
                record.pict_type = picture_type_char(recovery.last_picture_type());
                record.width = recovery.last_width();
                record.height = recovery.last_height();
            }
            av_packet_unref(packet.get());
        }
    }
    // The recovered display ranks stand in for timestamps and are put on each
    // packet before it is sent to the decoder.
    if (pts_missing) {
        const std::vector<int64_t> ranks = recovery.display_ranks();
        if (ranks.size() == packets.size()) {
            for (size_t i = 0; i < packets.size(); ++i) packets[i].pts = ranks[i];
            index->synthetic_pts = true;
        }
    }
    if (packets.empty()) throw std::runtime_error("No video packets found in: " + path);

    FrameTables tables = number_frames(packets);
    index->display_pts = std::move(tables.display_pts);
    index->seek_pts = std::move(tables.seek_pts);
    index->seek_packet = std::move(tables.seek_packet);
    index->frame_packet = std::move(tables.frame_packet);
    index->pts_to_idx = std::move(tables.pts_to_idx);
    return index;
}
