#include "stream_index.h"

#include <algorithm>
#include <new>
#include <stdexcept>

extern "C" {
#include <libavcodec/bsf.h>
}

#include "display_order.h"
#include "ffmpeg_ptrs.h"
#include "packed_frames.h"

namespace {

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

void number_index_frames(StreamIndex& index) {
    FrameTables tables = number_frames(index.packets);
    index.display_pts = std::move(tables.display_pts);
    index.seek_pts = std::move(tables.seek_pts);
    index.seek_packet = std::move(tables.seek_packet);
    index.frame_packet = std::move(tables.frame_packet);
    index.pts_to_idx = FrameByPts(tables.pts_to_idx);

    mark_restart_points(index);
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
    FilterPtr scan_unpacker(open_unpacking_filter(params));
    bool pts_missing = false;
    {
        PacketPtr packet(av_packet_alloc());
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
                // A read cut short by the end of the file is flagged corrupt.
                packets.back().cut_short = (packet->flags & AV_PKT_FLAG_CORRUPT) != 0 &&
                                           (fmt_ctx->pb == nullptr || avio_feof(fmt_ctx->pb));
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
    if (packets.empty()) throw std::runtime_error("No video packets found in: " + path);
    // Formats that allow timestamp discontinuities (MPEG-TS/PS) are what
    // recordings are joined in with `cat`.
    if (!pts_missing && (fmt_ctx->iformat->flags & AVFMT_TS_DISCONT))
        index->recording_count = separate_joined_recordings(packets);
    // A cut in the middle of a key group (an MPEG-TS cut at a byte position)
    // starts with pictures that lack their parameter sets or references; the
    // H.264 decoder puts none of them out. The HEVC decoder of FFmpeg 5.1
    // (libavcodec 59) puts them out where it has the parameter sets (from the
    // extradata that probing found further on), and its pictures are told
    // apart below; that of FFmpeg 9.0 (libavcodec 63) puts none out either.
    // Versions in between were not seen: 61 (FFmpeg 7, whose HEVC decoder was
    // reworked) is where the rule is assumed to change.
#if LIBAVCODEC_VERSION_MAJOR >= 61
    constexpr bool hevc_skips_leading_pictures = true;
#else
    constexpr bool hevc_skips_leading_pictures = false;
#endif
    const bool skips_leading_pictures =
        params->codec_id == AV_CODEC_ID_H264 ||
        (params->codec_id == AV_CODEC_ID_HEVC && hevc_skips_leading_pictures);
    if (skips_leading_pictures && !packets.front().is_key) drop_packets_before_first_key(packets);
    // The recovered display ranks stand in for timestamps and are put on each
    // packet before it is sent to the decoder: where packets carry none, and
    // where the container's pts rise in decode order although the bitstream
    // shows pictures out of that order (`-c copy` of a raw stream with B
    // frames into MP4/MOV/MKV writes pts = dts), so they cannot be display times.
    const std::vector<int64_t> ranks = recovery.display_ranks();
    const bool bitstream_reorders =
        ranks.size() == packets.size() && !std::is_sorted(ranks.begin(), ranks.end());
    if (ranks.size() == packets.size() &&
        (pts_missing || (bitstream_reorders && index->recording_count == 1 &&
                         pts_follow_decode_order(packets)))) {
        for (size_t i = 0; i < packets.size(); ++i) {
            packets[i].container_pts = packets[i].pts;
            packets[i].pts = ranks[i];
        }
        index->synthetic_pts = true;
    }
    // HEVC pictures the decoder never puts out (leading pictures of the first
    // CRA picture, pictures without their parameter sets, pictures not for
    // output) get no frame, whatever their timestamps.
    const HevcPictureOrder* hevc = recovery.hevc();
    if (hevc != nullptr && ranks.size() == packets.size()) {
        for (size_t i = 0; i < packets.size(); ++i) {
            if (ranks[i] == AV_NOPTS_VALUE) packets[i].discard = true;
        }
    }
    if (hevc != nullptr && hevc->parameter_set_packets().size() > 1) {
        index->parameter_set_packets = hevc->parameter_set_packets();
        for (const HevcPictureOrder::Picture& picture : hevc->pictures())
            index->parameter_sets_at.push_back(picture.parameter_sets);
    }

    number_index_frames(*index);
    // Packets whose display order is unknown are not numbered; a stream with
    // none numbered is not an empty one.
    if (index->display_pts.empty())
        throw std::runtime_error("Cannot number the frames of: " + path +
                                 " (its packets have no timestamps and their display order "
                                 "cannot be read from the bitstream)");
    return index;
}

void mark_restart_points(StreamIndex& index) {
    const std::vector<PacketRecord>& packets = index.packets;
    std::vector<int> earliest_start(packets.size(), static_cast<int>(packets.size()));
    for (size_t frame = 0; frame < index.frame_packet.size(); ++frame) {
        int& start = earliest_start[static_cast<size_t>(index.frame_packet[frame])];
        start = std::min(start, index.seek_packet[frame]);
    }
    index.restart_point.assign(packets.size(), false);
    int start_of_rest = static_cast<int>(packets.size());
    for (size_t i = packets.size(); i-- > 0;) {
        start_of_rest = std::min(start_of_rest, earliest_start[i]);
        index.restart_point[i] = packets[i].is_key && start_of_rest >= static_cast<int>(i);
    }
}

std::vector<int> frames_after_cut(const StreamIndex& index) {
    const std::vector<PacketRecord>& packets = index.packets;
    const auto cut = std::find_if(packets.begin(), packets.end(),
                                  [](const PacketRecord& packet) { return packet.cut_short; });
    std::vector<int> frames;
    if (cut == packets.end()) return frames;
    const int key = std::max(previous_key_packet(packets, static_cast<int>(cut - packets.begin()) + 1), 0);
    for (int frame = 0; frame < index.num_frames(); ++frame) {
        if (index.frame_packet[static_cast<size_t>(frame)] >= key) frames.push_back(frame);
    }
    return frames;
}

std::shared_ptr<const StreamIndex> without_frames(const StreamIndex& index,
                                                  const std::vector<int>& missing) {
    auto copy = std::make_shared<StreamIndex>(index);
    for (const int frame : missing) {
        const int packet = index.frame_packet[static_cast<size_t>(frame)];
        copy->packets[static_cast<size_t>(packet)].discard = true;
    }
    number_index_frames(*copy);
    return copy;
}
