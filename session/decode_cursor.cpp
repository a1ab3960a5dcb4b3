#include "decode_cursor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

#include "coding_blocks.h"
#include "ffmpeg_error.h"
#include "index_cache.h"
#include "packed_frames.h"
#include "quiet_probing.h"
#include "stream_choice.h"

namespace {

// Releases a received picture's buffers however its handling ends.
struct FrameUnref {
    AVFrame* frame;
    ~FrameUnref() { av_frame_unref(frame); }
};

// Probing decodes a few pictures with decoders of its own; they get the same
// picture size bound as the cursor's decoder.
class ProbeOptions {
public:
    ProbeOptions(unsigned int stream_count, int max_pixels) : options_(stream_count, nullptr) {
        const std::string limit = std::to_string(max_pixels);
        for (AVDictionary*& options : options_) {
            if (av_dict_set(&options, "max_pixels", limit.c_str(), 0) < 0) {
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

// Pictures a decoder has put out since it was opened (FFmpeg's count, which
// a flush does not reset).
int64_t pictures_decoded_by(const AVCodecContext* context) {
    // AVCodecContext.frame_number was renamed frame_num in libavcodec 60.2.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 2, 100)
    return context->frame_num;
#else
    return context->frame_number;
#endif
}

}  // namespace

DecodeCursor::~DecodeCursor() { release(); }

void DecodeCursor::forget_position() {
    last_decoded_idx_ = -1;
    next_packet_idx_ = -1;
}

void DecodeCursor::release() {
    forget_position();
    codec_ctx_.reset();
    unpack_bsf_.reset();
    fmt_ctx_.reset();
    reader_.reset();
}

void DecodeCursor::abandon() {
    (void)fmt_ctx_.release();
    (void)codec_ctx_.release();
    (void)unpack_bsf_.release();
    (void)reader_.release();
}

void DecodeCursor::open(const std::string& path, AVIOInterruptCB interrupt, int max_pixels,
                        std::shared_ptr<ByteSource> source) {
    if (source) reader_ = std::make_unique<AvioReader>(std::move(source));
    // The context is made first so that reading the input (a slow disk, a
    // FIFO without a writer) can be interrupted from the start.
    AVFormatContext* opening = avformat_alloc_context();
    if (opening == nullptr) throw std::bad_alloc();
    opening->interrupt_callback = interrupt;
    if (reader_) {
        opening->pb = reader_->context();
        opening->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    // On failure avformat_open_input frees the context and leaves it null.
    const int open_result = avformat_open_input(&opening, path.c_str(), nullptr, nullptr);
    if (open_result < 0) {
        rethrow_source_failure();
        throw InputOpenError("Cannot open input video: " + path + " (" +
                                 ffmpeg_error_string(open_result) + ")",
                             open_result);
    }
    fmt_ctx_.reset(opening);

    // Cover pictures are video streams of one picture; they are never
    // chosen, so they need not be read either.
    for (unsigned int i = 0; i < fmt_ctx_->nb_streams; ++i) {
        if (!is_moving_picture_stream(fmt_ctx_->streams[i]))
            fmt_ctx_->streams[i]->discard = AVDISCARD_ALL;
    }

    if (restore_probe_from_cache(path)) return;

    // Probing logs every oddity of the file; keep it quiet, and restore the
    // caller's level before looking at the result.
    ProbeOptions probe_options(fmt_ctx_->nb_streams, max_pixels);
    int probe_result = 0;
    {
        const QuietProbing quiet;
        probe_result = avformat_find_stream_info(fmt_ctx_.get(), probe_options.get());
    }
    if (probe_result < 0) {
        rethrow_source_failure();
        throw std::runtime_error("Cannot find stream info in: " + path);
    }

    video_stream_idx_ = choose_video_stream(fmt_ctx_.get());
    if (video_stream_idx_ < 0) throw std::runtime_error("No video stream found in: " + path);
    probed_ = ProbedStream::of(fmt_ctx_.get(), video_stream_idx_);
}

bool DecodeCursor::restore_probe_from_cache(const std::string& path) {
    // FFmpeg's probe reads and decodes the first pictures. A file opened
    // before has what the probe found in the index cache, beside its packet
    // index; where the header it was found for has not changed, the probe is
    // skipped and both are taken from there.
    const IndexCache cache = IndexCache::from_environment();
    // Streams that only the packets describe (MPEG-TS) are always probed.
    if (!cache.enabled() || (fmt_ctx_->ctx_flags & AVFMTCTX_NOHEADER) != 0) return false;
    const int chosen = choose_video_stream(fmt_ctx_.get());
    if (chosen < 0) return false;
    const std::string identity =
        reader_ ? reader_->source().identity() : local_file_identity(path);
    const std::string key = IndexCache::key_for(identity, fmt_ctx_.get(), chosen);
    if (key.empty()) return false;
    ProbedStream probed;
    std::shared_ptr<const StreamIndex> cached =
        cache.load(key, fmt_ctx_->streams[chosen], &probed);
    if (cached == nullptr || !probed.matches_header(fmt_ctx_.get(), chosen)) return false;
    probed.restore(fmt_ctx_.get(), chosen);
    video_stream_idx_ = chosen;
    probed_ = probed;
    index_ = std::move(cached);
    index_from_cache_ = true;
    return true;
}

void DecodeCursor::set_up_decoder(int pixel_limit, bool motion_vectors, bool coding_blocks,
                                  bool parse_only) {
    max_pixels_ = pixel_limit;
    export_motion_vectors_ = motion_vectors;
    export_coding_blocks_ = coding_blocks;
    open_decoder(parse_only, true);
}

void DecodeCursor::open_decoder(bool parse_only, bool extras) {
    const bool motion_vectors = extras && export_motion_vectors_;
    const bool coding_blocks = extras && export_coding_blocks_;
    const AVCodecParameters* params = stream().codecpar;
    const AVCodec* decoder = avcodec_find_decoder(params->codec_id);
    if (decoder == nullptr) throw std::runtime_error("H.264 decoder not found");
    // Built aside and swapped in whole, so that a failed set-up (it is also
    // used to reset the decoder) leaves the cursor's decoder as it was.
    CodecContextPtr context(avcodec_alloc_context3(decoder));
    if (!context) throw std::runtime_error("Cannot allocate AVCodecContext");
    avcodec_parameters_to_context(context.get(), params);

    context->skip_loop_filter = AVDISCARD_ALL;
    context->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
    if (motion_vectors) context->export_side_data |= AV_CODEC_EXPORT_DATA_MVS;
    if (coding_blocks) request_coding_blocks(context.get());
    context->thread_count = 0;
    // Frame threads attach a picture's encoding parameters before another
    // thread has finished decoding it (seen on FFmpeg 5.1, 7.1 and 9.0: B
    // frames read 0 in their bottom rows). Slice threads keep them exact.
    context->thread_type = FF_THREAD_SLICE;
    context->max_pixels = max_pixels_;
    // FFmpeg crops left and top edges only down to its buffer alignment (an
    // H.264 crop of 4 columns on the left leaves all 4 in the picture); the
    // capture crops exactly, knowing the crop, which also places the QP grid.
    context->apply_cropping = 0;
    // FFmpeg's own builds lack the option; a decoder without it decodes in full.
    const AVClass* decoder_class = decoder->priv_class;
    const bool can_parse_only =
        decoder_class != nullptr && av_opt_find2(&decoder_class, "parse_only", nullptr, 0,
                                                 AV_OPT_SEARCH_FAKE_OBJ, nullptr) != nullptr;
    const bool parses_only = parse_only && can_parse_only;
    if (parses_only && av_opt_set_int(context->priv_data, "parse_only", 1, 0) < 0)
        throw std::runtime_error("Cannot set the decoder's parse_only option");

    const int open_result = avcodec_open2(context.get(), decoder, nullptr);
    if (open_result < 0)
        throw std::runtime_error("Cannot open codec: " + ffmpeg_error_string(open_result));
    FilterPtr filter(open_unpacking_filter(params));
    if (codec_ctx_) pictures_before_ += pictures_decoded_by(codec_ctx_.get());
    codec_ctx_ = std::move(context);
    unpack_bsf_ = std::move(filter);
    decoder_can_parse_only_ = can_parse_only;
    parsing_only_ = parses_only;
    exporting_extras_ = extras;
    decoder_fed_ = false;
}

void DecodeCursor::rethrow_source_failure() {
    if (reader_) reader_->rethrow_failure();
}

std::shared_ptr<const StreamIndex> DecodeCursor::index_stream(const std::string& path) {
    if (!index_from_cache_) find_or_build_index(path);
    av_seek_frame(fmt_ctx_.get(), video_stream_idx_, 0, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(codec_ctx_.get());
    if (unpack_bsf_) av_bsf_flush(unpack_bsf_.get());
    forget_position();
    return index_;
}

void DecodeCursor::find_or_build_index(const std::string& path) {
    AVStream* stream = fmt_ctx_->streams[video_stream_idx_];
    const IndexCache cache = IndexCache::from_environment();
    std::string identity;
    if (cache.enabled())
        identity = reader_ ? reader_->source().identity() : local_file_identity(path);
    const std::string key = IndexCache::key_for(identity, fmt_ctx_.get(), video_stream_idx_);
    std::shared_ptr<const StreamIndex> cached = key.empty() ? nullptr : cache.load(key, stream);
    index_from_cache_ = cached != nullptr;
    if (cached != nullptr) {
        index_ = std::move(cached);
    } else {
        try {
            index_ = build_stream_index(fmt_ctx_.get(), video_stream_idx_, path);
        } catch (...) {
            rethrow_source_failure();
            throw;
        }
        rethrow_source_failure();
        // A file changed while it was read gives an index of neither version.
        if (!key.empty() && (reader_ || local_file_identity(path) == identity))
            cache.store(key, *index_, stream, probed_);
    }
}

void DecodeCursor::use_index(std::shared_ptr<const StreamIndex> index) {
    index_ = std::move(index);
    av_seek_frame(fmt_ctx_.get(), video_stream_idx_, 0, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(codec_ctx_.get());
    if (unpack_bsf_) av_bsf_flush(unpack_bsf_.get());
    forget_position();
}

int64_t DecodeCursor::pictures_decoded() const {
    return pictures_before_ + (codec_ctx_ ? pictures_decoded_by(codec_ctx_.get()) : 0);
}

bool DecodeCursor::needs_seek(int frame_idx, SeekRule rule) const {
    const int last = last_decoded_idx_;
    if (last < 0) return true;
    if (frame_idx <= last) return true;
    const int key_packet = index_->seek_packet[frame_idx];
    if (rule == SeekRule::kCheapest) {
        // Decoding on reads every packet from the next one to the frame's; a
        // seek reads those from the frame's key packet, plus its own cost.
        return next_packet_idx_ < 0 || next_packet_idx_ + kSeekCostPackets < key_packet;
    }
    if (frame_idx - last > kMaxForwardDecode) return true;
    // Reading in order crosses into the next key group without a seek once the
    // decoder has been given that group's key packet: a seek would only flush
    // and decode the same packets again.
    const bool key_packet_sent = next_packet_idx_ > key_packet;
    return index_->seek_packet[last] != key_packet && !key_packet_sent;
}

bool DecodeCursor::read_video_packet(AVPacket* packet) {
    while (av_read_frame(fmt_ctx_.get(), packet) >= 0) {
        if (packet->stream_index == video_stream_idx_) return true;
        av_packet_unref(packet);
    }
    return false;
}

int DecodeCursor::identify_packet(const AVPacket* packet, int hint) const {
    const std::vector<PacketRecord>& packets = index_->packets;
    auto matches = [&](int i) {
        const PacketRecord& record = packets[static_cast<size_t>(i)];
        if (record.size != packet->size) return false;
        return packet->pos >= 0 ? record.pos == packet->pos
                                : record.pts - record.timestamp_shift == packet->pts &&
                                      record.dts - record.timestamp_shift == packet->dts;
    };
    // A seek lands at or shortly before the key packet asked for.
    const int count = static_cast<int>(packets.size());
    const int start = std::min(std::max(hint, 0), count - 1);
    for (int distance = 0; start - distance >= 0 || start + distance < count; ++distance) {
        if (start - distance >= 0 && matches(start - distance)) return start - distance;
        if (distance > 0 && start + distance < count && matches(start + distance))
            return start + distance;
    }
    return -1;
}

int64_t DecodeCursor::demuxer_timestamp(const PacketRecord& record) const {
    // MP4 and Matroska index their key frames by pts: a dts there lands one
    // key group early. MPEG-TS/PS, AVI and FLV seek by dts.
    const AVInputFormat* format = fmt_ctx_->iformat;
    const bool seeks_by_pts = (format->flags & AVFMT_SEEK_TO_PTS) ||
                              std::strncmp(format->name, "matroska", 8) == 0;
    const bool synthetic_pts = index_->synthetic_pts;
    const int64_t pts = synthetic_pts ? record.container_pts : record.pts;
    if (seeks_by_pts && pts != AV_NOPTS_VALUE) return pts - record.timestamp_shift;
    if (record.dts != AV_NOPTS_VALUE) return record.dts - record.timestamp_shift;
    return synthetic_pts || record.pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                                         : record.pts - record.timestamp_shift;
}

void DecodeCursor::send_parameter_sets(int packet_idx) {
    const std::vector<int>& states = index_->parameter_sets_at;
    if (packet_idx < 0 || packet_idx >= static_cast<int>(states.size())) return;
    const int state = states[static_cast<size_t>(packet_idx)];
    if (state < 0) return;
    const std::vector<uint8_t>& sets = index_->parameter_set_packets[static_cast<size_t>(state)];
    PacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(sets.size())) < 0)
        throw std::bad_alloc();
    std::memcpy(packet->data, sets.data(), sets.size());
    // A packet of parameter sets alone puts out no picture.
    avcodec_send_packet(codec_ctx_.get(), packet.get());
}

bool DecodeCursor::seek_to_packet(int key_packet_idx, AVPacket* packet) {
    // A flushed decoder keeps state from what it decoded before (the HEVC
    // decoder its order count, FFmpeg 5.1 to 9.0; the H.264 decoder what it
    // conceals damaged slices with), so pictures of a damaged stream, and
    // those ahead of a stream's first key picture, would depend on the
    // queries before. Every seek starts a fresh decoder instead.
    if (decoder_fed_)
        open_decoder(parsing_only_, exporting_extras_);
    if (unpack_bsf_) av_bsf_flush(unpack_bsf_.get());
    forget_position();

    // Demuxers differ in what a timestamp seek means (MPEG-TS seeks by dts and
    // lands on the next key frame when given a key packet's pts), so every
    // landing is checked against the index, and a landing past the key packet
    // is retried by byte position and then from earlier key packets.
    const std::vector<PacketRecord>& packets = index_->packets;
    const bool byte_seekable = !(fmt_ctx_->iformat->flags & AVFMT_NO_BYTE_SEEK);
    auto lands_in_time = [&](int64_t target, int flags) {
        if (av_seek_frame(fmt_ctx_.get(), video_stream_idx_, target, flags) < 0) return false;
        if (!read_video_packet(packet)) return false;
        const int landed = identify_packet(packet, key_packet_idx);
        if (landed >= 0 && landed <= key_packet_idx) {
            next_packet_idx_ = landed;
            return true;
        }
        av_packet_unref(packet);
        return false;
    };
    // In joined recordings a timestamp may name a packet of an earlier
    // recording, which the landing check accepts as a (far too early) start.
    const bool bytes_first = index_->recording_count > 1;
    constexpr int kKeyPointsTried = 3;
    int key = key_packet_idx;
    for (int tried = 0; tried < kKeyPointsTried && key >= 0; ++tried) {
        const PacketRecord& record = packets[static_cast<size_t>(key)];
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

int DecodeCursor::frame_index_of(const AVFrame* frame) const {
    // With display ranks standing in for timestamps, a picture without one
    // came from a packet that could not be placed, and its dts means nothing.
    const int64_t pts = frame->pts != AV_NOPTS_VALUE ? frame->pts
                        : index_->synthetic_pts       ? AV_NOPTS_VALUE
                                                     : frame->pkt_dts;
    const auto found = index_->pts_to_idx.find(pts);
    return found == index_->pts_to_idx.end() ? -1 : found->second;
}

bool DecodeCursor::receive_frames(AVFrame* frame, int frame_idx, const FrameSink& sink) {
    bool obtained = false;
    while (avcodec_receive_frame(codec_ctx_.get(), frame) >= 0) {
        const FrameUnref unref_when_handled{frame};
        const int idx = frame_index_of(frame);
        if (idx < 0) continue;
        if (idx > last_decoded_idx_) last_decoded_idx_ = idx;
        sink(idx, frame);
        if (idx == frame_idx) obtained = true;
    }
    return obtained;
}

bool DecodeCursor::drain_decoder(AVFrame* frame, int frame_idx, const FrameSink& sink) {
    // The decoder holds back its last pictures until it is drained. A drained
    // decoder takes no more packets until it is flushed, so the next request
    // must seek.
    avcodec_send_packet(codec_ctx_.get(), nullptr);
    const bool obtained = receive_frames(frame, frame_idx, sink);
    forget_position();
    return obtained;
}

bool DecodeCursor::renews_at_restart_points() const {
    // The H.264 and HEVC decoders conceal damaged slices from what they
    // decoded before, so a fresh decoder at each restart point makes a
    // picture the same whichever query reached it. The MPEG-1/2/4 decoders
    // attach no encoding parameters to the picture a drain puts out, so
    // renewing theirs would lose the QP map of each restart point's
    // predecessor (FFmpeg 5.1 to 9.0).
    const AVCodecID codec = stream().codecpar->codec_id;
    return codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC;
}

bool DecodeCursor::restart_decoder(int packet_idx, AVFrame* frame, int frame_idx,
                                   const FrameSink& sink) {
    avcodec_send_packet(codec_ctx_.get(), nullptr);
    const bool obtained = receive_frames(frame, frame_idx, sink);
    open_decoder(parsing_only_, exporting_extras_);
    send_parameter_sets(packet_idx);
    return obtained;
}

bool DecodeCursor::send_and_receive(AVPacket* packet, AVFrame* frame, int frame_idx,
                                    const FrameSink& sink) {
    decoder_fed_ = true;
    int send_result = avcodec_send_packet(codec_ctx_.get(), packet);
    bool obtained = false;
    if (send_result == AVERROR(EAGAIN)) {
        // The decoder wants its output taken before it takes more input.
        obtained = receive_frames(frame, frame_idx, sink);
        send_result = avcodec_send_packet(codec_ctx_.get(), packet);
    }
    av_packet_unref(packet);
    if (send_result >= 0 && receive_frames(frame, frame_idx, sink)) obtained = true;
    return obtained;
}

bool DecodeCursor::decode_until(int frame_idx, int first_packet_idx, bool holding_packet,
                                AVPacket* packet, AVFrame* frame, const FrameSink& sink) {
    const std::vector<PacketRecord>& packets = index_->packets;
    const int last_useful_packet = index_->frame_packet[frame_idx] + kMaxOutputDelayPackets;
    while (true) {
        if (!holding_packet && !read_video_packet(packet))
            return drain_decoder(frame, frame_idx, sink);
        holding_packet = false;
        const int packet_idx = next_packet_idx_ >= 0 ? next_packet_idx_++ : -1;
        // A seek may land before the key packet; decoding starts at the key packet.
        if (packet_idx >= 0 && packet_idx < first_packet_idx) {
            av_packet_unref(packet);
            continue;
        }
        bool obtained = false;
        if (packet_idx >= 0 && packet_idx < static_cast<int>(packets.size()) && decoder_fed_ &&
            renews_at_restart_points() && index_->restart_point[static_cast<size_t>(packet_idx)])
            obtained = restart_decoder(packet_idx, frame, frame_idx, sink);
        if (unpack_bsf_ && !unpack_packet(unpack_bsf_.get(), packet)) {
            if (obtained) return true;
            continue;
        }
        // The index's timestamps are the ones frames are looked up by; after a
        // byte seek the demuxer's own may be off.
        if (packet_idx >= 0 && packet_idx < static_cast<int>(packets.size())) {
            packet->pts = packets[static_cast<size_t>(packet_idx)].pts;
            packet->dts = packets[static_cast<size_t>(packet_idx)].dts;
        } else if (index_->synthetic_pts) {
            packet->pts = AV_NOPTS_VALUE;
        } else if (index_->recording_count > 1) {
            // Which recording an unplaced packet belongs to is unknown, so its
            // picture cannot be matched to a frame.
            packet->pts = AV_NOPTS_VALUE;
            packet->dts = AV_NOPTS_VALUE;
        }
        if (send_and_receive(packet, frame, frame_idx, sink) || obtained) return true;
        if (packet_idx >= last_useful_packet) return false;
    }
}

bool DecodeCursor::decode_frame(int frame_idx, const FrameSink& sink, SeekRule rule,
                                Content content) {
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) throw std::bad_alloc();
    try {
        const bool parse_only =
            content != Content::kPictures && parse_only_allowed_ && decoder_can_parse_only_;
        const bool extras = content != Content::kEncodingParameters;
        if (parse_only != parsing_only_ || extras != exporting_extras_) {
            open_decoder(parse_only, extras);
            forget_position();
        }
        // First from where the decoder stands or from the frame's key packet;
        // if the frame does not come out, once more from an earlier key point.
        int start_packet = needs_seek(frame_idx, rule) ? index_->seek_packet[frame_idx] : -1;
        for (int attempt = 0; attempt < 2 && (attempt == 0 || start_packet >= 0); ++attempt) {
            const bool holding = start_packet >= 0 && seek_to_packet(start_packet, packet.get());
            if (holding) send_parameter_sets(start_packet);
            if (decode_until(frame_idx, start_packet, holding, packet.get(), frame.get(), sink))
                return true;
            start_packet = start_packet < 0
                               ? index_->seek_packet[frame_idx]
                               : previous_key_packet(index_->packets, start_packet);
        }
    } catch (...) {
        // Whatever the decoder still holds is of no use to the next request.
        forget_position();
        throw;
    }
    return false;
}
