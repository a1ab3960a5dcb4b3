#include "h264_decoder_session.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "display_order.h"
#include "ffmpeg_error.h"
#include "packed_frames.h"
#include "stream_choice.h"

namespace {

// Keeps FFmpeg's process-wide log level at FATAL while any session probes a
// file, and gives the level back when the last one is done. Sessions open
// concurrently in several threads; each saving and restoring the level on
// its own could leave it at FATAL for good (one thread saves the FATAL
// another has set), which silenced every later FFmpeg message.
class QuietProbing {
public:
    QuietProbing() {
        std::lock_guard<std::mutex> lock(mutex());
        if (depth()++ == 0) {
            saved_level() = av_log_get_level();
            av_log_set_level(AV_LOG_FATAL);
        }
    }
    ~QuietProbing() {
        std::lock_guard<std::mutex> lock(mutex());
        if (--depth() == 0) av_log_set_level(saved_level());
    }
    QuietProbing(const QuietProbing&) = delete;
    QuietProbing& operator=(const QuietProbing&) = delete;

private:
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static int& depth() {
        static int count = 0;
        return count;
    }
    static int& saved_level() {
        static int level = AV_LOG_INFO;
        return level;
    }
};

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// Releases a received picture's buffers however its handling ends.
struct FrameUnref {
    AVFrame* frame;
    ~FrameUnref() { av_frame_unref(frame); }
};

PacketPtr allocate_packet() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

FramePtr allocate_frame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}

bool is_usable_rate(AVRational rate) { return rate.num > 0 && rate.den > 0; }

// Probing decodes a few pictures with decoders of its own; they get the same
// picture size bound as the session's decoder.
class ProbeOptions {
public:
    explicit ProbeOptions(unsigned int stream_count) : options_(stream_count, nullptr) {
        const std::string max_pixels = std::to_string(H264DecoderSession::kMaxPixels);
        for (AVDictionary*& options : options_) {
            if (av_dict_set(&options, "max_pixels", max_pixels.c_str(), 0) < 0) {
                free_all();
                throw std::bad_alloc();
            }
        }
    }
    ~ProbeOptions() { free_all(); }
    ProbeOptions(const ProbeOptions&) = delete;
    ProbeOptions& operator=(const ProbeOptions&) = delete;
    AVDictionary** get() { return options_.empty() ? nullptr : options_.data(); }

private:
    void free_all() {
        for (AVDictionary*& options : options_) av_dict_free(&options);
    }
    std::vector<AVDictionary*> options_;
};

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FilterDeleter {
    void operator()(AVBSFContext* filter) const { av_bsf_free(&filter); }
};
using FilterPtr = std::unique_ptr<AVBSFContext, FilterDeleter>;

}  // namespace

int H264DecoderSession::interrupt_trampoline(void* opaque) {
    const auto* session = static_cast<const H264DecoderSession*>(opaque);
    return session->interrupted_ && session->interrupted_() ? 1 : 0;
}

H264DecoderSession::H264DecoderSession(const std::string& path_arg,
                                       std::function<bool()> interrupted)
    : path(path_arg), interrupted_(std::move(interrupted)) {
    // The context is made first so that reading the input (a slow disk, a
    // FIFO without a writer) can be interrupted from the start.
    fmt_ctx = avformat_alloc_context();
    if (fmt_ctx == nullptr) throw std::bad_alloc();
    fmt_ctx->interrupt_callback = AVIOInterruptCB{&H264DecoderSession::interrupt_trampoline, this};
    // On failure avformat_open_input frees the context and leaves it null.
    const int open_result = avformat_open_input(&fmt_ctx, path.c_str(), nullptr, nullptr);
    if (open_result < 0) {
        throw InputOpenError("Cannot open input video: " + path + " (" +
                                 ffmpeg_error_string(open_result) + ")",
                             open_result);
    }
    try {
        // Cover pictures are video streams of one picture; they are never
        // chosen, so they need not be read either.
        for (unsigned int i = 0; i < fmt_ctx->nb_streams; ++i) {
            if (!is_moving_picture_stream(fmt_ctx->streams[i]))
                fmt_ctx->streams[i]->discard = AVDISCARD_ALL;
        }

        // Probing logs every oddity of the file; keep it quiet, and restore the
        // caller's level before looking at the result.
        ProbeOptions probe_options(fmt_ctx->nb_streams);
        int probe_result = 0;
        {
            QuietProbing quiet;
            probe_result = avformat_find_stream_info(fmt_ctx, probe_options.get());
        }
        if (probe_result < 0) throw std::runtime_error("Cannot find stream info in: " + path);

        video_stream_idx = choose_video_stream(fmt_ctx);
        if (video_stream_idx < 0) throw std::runtime_error("No video stream found in: " + path);

        read_stream_facts();
        set_up_decoder();
        build_index();
    } catch (...) {
        interrupted_ = nullptr;
        release();
        throw;
    }
    // Frame queries run without the interpreter lock; the check must not
    // outlive the open it was given for.
    interrupted_ = nullptr;
}

H264DecoderSession::~H264DecoderSession() { release(); }

void H264DecoderSession::read_stream_facts() {
    const AVStream* stream = fmt_ctx->streams[video_stream_idx];
    const AVCodecParameters* params = stream->codecpar;
    time_base = stream->time_base;

    AVRational rate{0, 0};
    if (is_usable_rate(stream->avg_frame_rate)) {
        rate = stream->avg_frame_rate;
    } else if (is_usable_rate(stream->r_frame_rate)) {
        rate = stream->r_frame_rate;
    }
    if (is_usable_rate(rate)) {
        fps_num = rate.num;
        fps_den = rate.den;
        fps = static_cast<double>(rate.num) / static_cast<double>(rate.den);
    }

    codec = avcodec_get_name(params->codec_id);
    width = params->width;
    height = params->height;
    mb_cols = (width + kMacroblockSize - 1) / kMacroblockSize;
    mb_rows = (height + kMacroblockSize - 1) / kMacroblockSize;

    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(params->format));
    if (desc != nullptr) {
        pix_fmt = desc->name;
        if (desc->comp[0].depth > 8) bytes_per_sample = 2;
    }
}

void H264DecoderSession::set_up_decoder() {
    const AVCodecParameters* params = fmt_ctx->streams[video_stream_idx]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(params->codec_id);
    if (decoder == nullptr) throw std::runtime_error("H.264 decoder not found");
    // Built aside and swapped in whole, so that a failed set-up (it is also
    // used to reset the decoder) leaves the session's decoder as it was.
    CodecContextPtr context(avcodec_alloc_context3(decoder));
    if (!context) throw std::runtime_error("Cannot allocate AVCodecContext");
    avcodec_parameters_to_context(context.get(), params);

    context->skip_loop_filter = AVDISCARD_ALL;
    context->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
    context->thread_count = 0;
    // Frame threads attach a picture's encoding parameters before another
    // thread has finished decoding it (seen on FFmpeg 5.1, 7.1 and 9.0: B
    // frames read 0 in their bottom rows). Slice threads keep them exact.
    context->thread_type = FF_THREAD_SLICE;
    context->max_pixels = kMaxPixels;
    // FFmpeg crops left and top edges only down to its buffer alignment (an
    // H.264 crop of 4 columns on the left leaves all 4 in the picture); the
    // capture crops exactly, knowing the crop, which also places the QP grid.
    context->apply_cropping = 0;

    const int open_result = avcodec_open2(context.get(), decoder, nullptr);
    if (open_result < 0)
        throw std::runtime_error("Cannot open codec: " + ffmpeg_error_string(open_result));
    FilterPtr filter(open_unpacking_filter(params));
    avcodec_free_context(&codec_ctx);
    codec_ctx = context.release();
    av_bsf_free(&unpack_bsf);
    unpack_bsf = filter.release();
}

void H264DecoderSession::build_index() {
    packets.clear();
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
        PacketPtr packet = allocate_packet();
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
            }
            av_packet_unref(packet.get());
        }
    }
    if (packets.empty()) throw std::runtime_error("No video packets found in: " + path);
    // Formats that allow timestamp discontinuities (MPEG-TS/PS) are what
    // recordings are joined in with `cat`.
    if (!pts_missing && (fmt_ctx->iformat->flags & AVFMT_TS_DISCONT))
        recording_count = separate_joined_recordings(packets);
    // A cut in the middle of a key group (an MPEG-TS cut at a byte position)
    // starts with pictures that lack their parameter sets or references; the
    // H.264 decoder puts none of them out. HEVC's are told apart below: the
    // HEVC decoder puts them out where it has the parameter sets (from the
    // extradata that probing found further on).
    if (params->codec_id == AV_CODEC_ID_H264 && !packets.front().is_key)
        drop_packets_before_first_key(packets);
    // The recovered display ranks stand in for timestamps and are put on each
    // packet before it is sent to the decoder: where packets carry none, and
    // where the container's pts rise in decode order although the bitstream
    // shows pictures out of that order (`-c copy` of a raw stream with B
    // frames into MP4/MOV/MKV writes pts = dts), so they cannot be display times.
    const std::vector<int64_t> ranks = recovery.display_ranks();
    const bool bitstream_reorders =
        ranks.size() == packets.size() && !std::is_sorted(ranks.begin(), ranks.end());
    if (ranks.size() == packets.size() &&
        (pts_missing || (bitstream_reorders && recording_count == 1 &&
                         pts_follow_decode_order(packets)))) {
        for (size_t i = 0; i < packets.size(); ++i) {
            packets[i].container_pts = packets[i].pts;
            packets[i].pts = ranks[i];
        }
        synthetic_pts = true;
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
        parameter_set_packets = hevc->parameter_set_packets();
        for (const HevcPictureOrder::Picture& picture : hevc->pictures())
            parameter_sets_at.push_back(picture.parameter_sets);
    }

    FrameTables tables = number_frames(packets);
    display_pts = std::move(tables.display_pts);
    seek_pts = std::move(tables.seek_pts);
    seek_packet = std::move(tables.seek_packet);
    frame_packet = std::move(tables.frame_packet);
    pts_to_idx = std::move(tables.pts_to_idx);
    num_frames = static_cast<int>(display_pts.size());
    // Packets whose display order is unknown are not numbered; a stream with
    // none numbered is not an empty one.
    if (num_frames == 0)
        throw std::runtime_error("Cannot number the frames of: " + path +
                                 " (its packets have no timestamps and their display order "
                                 "cannot be read from the bitstream)");

    av_seek_frame(fmt_ctx, video_stream_idx, 0, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(codec_ctx);
    last_decoded_idx = -1;
    next_packet_idx = -1;
}

void H264DecoderSession::release() {
    frame_cache.clear();
    std::deque<int>().swap(cache_order);
    last_decoded_idx = -1;
    next_packet_idx = -1;
    if (codec_ctx != nullptr) avcodec_free_context(&codec_ctx);
    av_bsf_free(&unpack_bsf);
    if (fmt_ctx != nullptr) avformat_close_input(&fmt_ctx);
}

bool H264DecoderSession::needs_seek(int frame_idx) const {
    const int last = last_decoded_idx;
    if (last < 0) return true;
    if (frame_idx <= last) return true;
    if (frame_idx - last > kMaxForwardDecode) return true;
    // Reading in order crosses into the next key group without a seek once the
    // decoder has been given that group's key packet: a seek would only flush
    // and decode the same packets again.
    const bool key_packet_sent = next_packet_idx > seek_packet[frame_idx];
    return seek_packet[last] != seek_packet[frame_idx] && !key_packet_sent;
}

bool H264DecoderSession::read_video_packet(AVPacket* packet) {
    while (av_read_frame(fmt_ctx, packet) >= 0) {
        if (packet->stream_index == video_stream_idx) return true;
        av_packet_unref(packet);
    }
    return false;
}

int H264DecoderSession::identify_packet(const AVPacket* packet) const {
    for (size_t i = 0; i < packets.size(); ++i) {
        const PacketRecord& record = packets[i];
        if (record.size != packet->size) continue;
        const bool same = packet->pos >= 0 ? record.pos == packet->pos
                                           : record.pts - record.timestamp_shift == packet->pts &&
                                                 record.dts - record.timestamp_shift == packet->dts;
        if (same) return static_cast<int>(i);
    }
    return -1;
}

int64_t H264DecoderSession::demuxer_timestamp(const PacketRecord& record) const {
    // MP4 and Matroska index their key frames by pts: a dts there lands one
    // key group early. MPEG-TS/PS, AVI and FLV seek by dts.
    const AVInputFormat* format = fmt_ctx->iformat;
    const bool seeks_by_pts = (format->flags & AVFMT_SEEK_TO_PTS) ||
                              std::strncmp(format->name, "matroska", 8) == 0;
    const int64_t pts = synthetic_pts ? record.container_pts : record.pts;
    if (seeks_by_pts && pts != AV_NOPTS_VALUE) return pts - record.timestamp_shift;
    if (record.dts != AV_NOPTS_VALUE) return record.dts - record.timestamp_shift;
    return synthetic_pts || record.pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                                         : record.pts - record.timestamp_shift;
}

void H264DecoderSession::send_parameter_sets(int packet_idx) {
    if (packet_idx < 0 || packet_idx >= static_cast<int>(parameter_sets_at.size())) return;
    const int state = parameter_sets_at[packet_idx];
    if (state < 0) return;
    const std::vector<uint8_t>& sets = parameter_set_packets[state];
    PacketPtr packet = allocate_packet();
    if (av_new_packet(packet.get(), static_cast<int>(sets.size())) < 0) throw std::bad_alloc();
    std::memcpy(packet->data, sets.data(), sets.size());
    // A packet of parameter sets alone puts out no picture.
    avcodec_send_packet(codec_ctx, packet.get());
}

bool H264DecoderSession::seek_to_packet(int key_packet_idx, AVPacket* packet) {
    // Pictures ahead of a stream's first key picture decode against missing
    // references, and how depends on what the decoder saw before (the HEVC
    // decoder keeps its order count across a flush, FFmpeg 5.1 to 9.0): they
    // come out as FFmpeg's own decode shows them only from a fresh decoder.
    if (key_packet_idx == 0 && !packets.front().is_key) {
        set_up_decoder();
    } else {
        avcodec_flush_buffers(codec_ctx);
    }
    if (unpack_bsf != nullptr) av_bsf_flush(unpack_bsf);
    last_decoded_idx = -1;
    next_packet_idx = -1;

    // Demuxers differ in what a timestamp seek means (MPEG-TS seeks by dts and
    // lands on the next key frame when given a key packet's pts), so every
    // landing is checked against the index, and a landing past the key packet
    // is retried by byte position and then from earlier key packets.
    const bool byte_seekable = !(fmt_ctx->iformat->flags & AVFMT_NO_BYTE_SEEK);
    auto lands_in_time = [&](int64_t target, int flags) {
        if (av_seek_frame(fmt_ctx, video_stream_idx, target, flags) < 0) return false;
        if (!read_video_packet(packet)) return false;
        const int landed = identify_packet(packet);
        if (landed >= 0 && landed <= key_packet_idx) {
            next_packet_idx = landed;
            return true;
        }
        av_packet_unref(packet);
        return false;
    };
    // In joined recordings a timestamp may name a packet of an earlier
    // recording, which the landing check accepts as a (far too early) start.
    const bool bytes_first = recording_count > 1;
    constexpr int kKeyPointsTried = 3;
    int key = key_packet_idx;
    for (int tried = 0; tried < kKeyPointsTried && key >= 0; ++tried) {
        const PacketRecord& record = packets[key];
        const int64_t timestamp = demuxer_timestamp(record);
        const bool by_bytes = byte_seekable && record.pos >= 0;
        if (bytes_first && by_bytes && lands_in_time(record.pos, AVSEEK_FLAG_BYTE)) return true;
        if (timestamp != AV_NOPTS_VALUE && lands_in_time(timestamp, AVSEEK_FLAG_BACKWARD))
            return true;
        if (!bytes_first && by_bytes && lands_in_time(record.pos, AVSEEK_FLAG_BYTE)) return true;
        key = previous_key_packet(packets, key);
    }
    const PacketRecord& first = packets.front();
    const int64_t first_timestamp = demuxer_timestamp(first);
    if (first_timestamp != AV_NOPTS_VALUE && lands_in_time(first_timestamp, AVSEEK_FLAG_BACKWARD))
        return true;
    return byte_seekable && first.pos >= 0 && lands_in_time(first.pos, AVSEEK_FLAG_BYTE);
}

void H264DecoderSession::store_in_cache(int idx, std::shared_ptr<CachedFrame> record) {
    auto existing = frame_cache.find(idx);
    if (existing != frame_cache.end()) {
        existing->second = std::move(record);
        return;
    }
    while (frame_cache.size() >= kCacheCapacity && !cache_order.empty()) {
        frame_cache.erase(cache_order.front());
        cache_order.pop_front();
    }
    frame_cache.emplace(idx, std::move(record));
    cache_order.push_back(idx);
}

int H264DecoderSession::handle_decoded_frame(const AVFrame* frame, int frame_idx,
                                             std::shared_ptr<CachedFrame>& result) {
    // With display ranks standing in for timestamps, a picture without one
    // came from a packet that could not be placed, and its dts means nothing.
    const int64_t pts = frame->pts != AV_NOPTS_VALUE ? frame->pts
                        : synthetic_pts              ? AV_NOPTS_VALUE
                                                     : frame->pkt_dts;
    const auto found = pts_to_idx.find(pts);
    if (found == pts_to_idx.end()) return -1;
    const int idx = found->second;
    if (idx > last_decoded_idx) last_decoded_idx = idx;
    std::shared_ptr<CachedFrame> record = capture_frame(frame, pts);
    if (idx == frame_idx) result = record;
    store_in_cache(idx, std::move(record));
    return idx;
}

bool H264DecoderSession::receive_frames(AVFrame* frame, int frame_idx,
                                        std::shared_ptr<CachedFrame>& result) {
    bool obtained = false;
    while (avcodec_receive_frame(codec_ctx, frame) >= 0) {
        const FrameUnref unref_when_handled{frame};
        if (handle_decoded_frame(frame, frame_idx, result) == frame_idx) obtained = true;
    }
    return obtained;
}

void H264DecoderSession::drain_decoder(AVFrame* frame, int frame_idx,
                                       std::shared_ptr<CachedFrame>& result) {
    // The decoder holds back its last pictures until it is drained. A drained
    // decoder takes no more packets until it is flushed, so the next call
    // that misses the cache must seek.
    avcodec_send_packet(codec_ctx, nullptr);
    receive_frames(frame, frame_idx, result);
    last_decoded_idx = -1;
    next_packet_idx = -1;
}

bool H264DecoderSession::send_and_receive(AVPacket* packet, AVFrame* frame, int frame_idx,
                                          std::shared_ptr<CachedFrame>& result) {
    int send_result = avcodec_send_packet(codec_ctx, packet);
    bool obtained = false;
    if (send_result == AVERROR(EAGAIN)) {
        // The decoder wants its output taken before it takes more input.
        obtained = receive_frames(frame, frame_idx, result);
        send_result = avcodec_send_packet(codec_ctx, packet);
    }
    av_packet_unref(packet);
    if (send_result >= 0 && receive_frames(frame, frame_idx, result)) obtained = true;
    return obtained;
}

bool H264DecoderSession::decode_until(int frame_idx, int first_packet_idx, bool holding_packet,
                                      AVPacket* packet, AVFrame* frame,
                                      std::shared_ptr<CachedFrame>& result) {
    const int last_useful_packet = frame_packet[frame_idx] + kMaxOutputDelayPackets;
    while (true) {
        if (!holding_packet && !read_video_packet(packet)) {
            drain_decoder(frame, frame_idx, result);
            return result != nullptr;
        }
        holding_packet = false;
        const int packet_idx = next_packet_idx >= 0 ? next_packet_idx++ : -1;
        // A seek may land before the key packet; decoding starts at the key packet.
        if (packet_idx >= 0 && packet_idx < first_packet_idx) {
            av_packet_unref(packet);
            continue;
        }
        if (unpack_bsf != nullptr && !unpack_packet(unpack_bsf, packet)) continue;
        // The index's timestamps are the ones frames are looked up by; after a
        // byte seek the demuxer's own may be off.
        if (packet_idx >= 0) {
            packet->pts = packets[packet_idx].pts;
            packet->dts = packets[packet_idx].dts;
        } else if (synthetic_pts) {
            packet->pts = AV_NOPTS_VALUE;
        } else if (recording_count > 1) {
            // Which recording an unplaced packet belongs to is unknown, so its
            // picture cannot be matched to a frame.
            packet->pts = AV_NOPTS_VALUE;
            packet->dts = AV_NOPTS_VALUE;
        }
        if (send_and_receive(packet, frame, frame_idx, result)) return true;
        if (packet_idx >= last_useful_packet) return false;
    }
}

void H264DecoderSession::close() {
    std::lock_guard<std::mutex> lock(decode_mutex);
    release();
    is_closed = true;
}

bool H264DecoderSession::closed() const { return is_closed.load(); }

std::shared_ptr<CachedFrame> H264DecoderSession::get_frame(int frame_idx) {
    std::lock_guard<std::mutex> lock(decode_mutex);
    if (is_closed) throw SessionClosedError("Session is closed: " + path);
    if (frame_idx < 0 || frame_idx >= num_frames)
        throw std::out_of_range("Frame index out of bounds: " + std::to_string(frame_idx));
    if (auto cached = frame_cache.find(frame_idx); cached != frame_cache.end())
        return cached->second;

    PacketPtr packet = allocate_packet();
    FramePtr frame = allocate_frame();
    std::shared_ptr<CachedFrame> result;

    // First from where the decoder stands or from the frame's key packet; if
    // the frame does not come out, once more from an earlier key point.
    int start_packet = needs_seek(frame_idx) ? seek_packet[frame_idx] : -1;
    for (int attempt = 0; attempt < 2 && (attempt == 0 || start_packet >= 0); ++attempt) {
        const bool holding = start_packet >= 0 && seek_to_packet(start_packet, packet.get());
        if (holding) send_parameter_sets(start_packet);
        if (decode_until(frame_idx, start_packet, holding, packet.get(), frame.get(), result))
            return result;
        start_packet = start_packet < 0 ? seek_packet[frame_idx]
                                        : previous_key_packet(packets, start_packet);
    }
    throw std::runtime_error("Failed to decode frame " + std::to_string(frame_idx));
}
