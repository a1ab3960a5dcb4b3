#include "h264_decoder_session.h"

#include <algorithm>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <new>
#include <stdexcept>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "ffmpeg_error.h"
#include "quiet_probing.h"
#include "stream_choice.h"

namespace {

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

}  // namespace

int H264DecoderSession::interrupt_trampoline(void* opaque) {
    const auto* session = static_cast<const H264DecoderSession*>(opaque);
    return session->interrupted_ && session->interrupted_() ? 1 : 0;
}

H264DecoderSession::H264DecoderSession(const std::string& path_arg,
                                       std::function<bool()> interrupted, bool motion_vectors_arg)
    : path(path_arg), motion_vectors(motion_vectors_arg), interrupted_(std::move(interrupted)) {
    // The context is made first so that reading the input (a slow disk, a
    // FIFO without a writer) can be interrupted from the start.
    cursor.fmt_ctx = avformat_alloc_context();
    if (cursor.fmt_ctx == nullptr) throw std::bad_alloc();
    cursor.fmt_ctx->interrupt_callback =
        AVIOInterruptCB{&H264DecoderSession::interrupt_trampoline, this};
    // On failure avformat_open_input frees the context and leaves it null.
    const int open_result = avformat_open_input(&cursor.fmt_ctx, path.c_str(), nullptr, nullptr);
    if (open_result < 0) {
        throw InputOpenError("Cannot open input video: " + path + " (" +
                                 ffmpeg_error_string(open_result) + ")",
                             open_result);
    }
    AVFormatContext* fmt_ctx = cursor.fmt_ctx;
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
            const QuietProbing quiet;
            probe_result = avformat_find_stream_info(fmt_ctx, probe_options.get());
        }
        if (probe_result < 0) throw std::runtime_error("Cannot find stream info in: " + path);

        cursor.video_stream_idx = choose_video_stream(fmt_ctx);
        if (cursor.video_stream_idx < 0)
            throw std::runtime_error("No video stream found in: " + path);

        read_stream_facts();
        cursor.set_up_decoder(static_cast<int>(kMaxPixels), motion_vectors);
        index = build_stream_index(fmt_ctx, cursor.video_stream_idx, path);
        num_frames = index->num_frames();
        chroma_offsets_seen.assign(static_cast<size_t>(num_frames), ChromaQpOffsets{});
        chroma_offsets_known.assign(static_cast<size_t>(num_frames), false);
        cursor.attach(index);
        {
            // The decoder's complaints about the cut packet are expected here.
            const QuietProbing quiet;
            drop_frames_lost_to_cut();
        }
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // The thread is being ended (a daemon thread at interpreter exit)
        // from inside an FFmpeg call; freeing what that call was using could
        // crash the exiting process, so it is left as it is.
        cursor.abandon();
        throw;
#endif
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

void H264DecoderSession::drop_frames_lost_to_cut() {
    // A file cut short (an MP4 whose index, at the front, lists samples past
    // the end) ends with a packet whose picture, and those that reference it,
    // may never come out of the decoder. Which ones do is found by decoding
    // that last stretch once, so that every numbered frame decodes.
    const std::vector<int> suspects = frames_after_cut(*index);
    if (suspects.empty()) return;
    std::vector<bool> seen(static_cast<size_t>(num_frames), false);
    const FrameSink note = [&](int idx, const AVFrame*) { seen[static_cast<size_t>(idx)] = true; };
    std::vector<int> missing;
    for (const int frame : suspects) {
        if (interrupted_ && interrupted_()) throw std::runtime_error("Interrupted: " + path);
        if (!seen[static_cast<size_t>(frame)] &&
            !cursor.decode_frame(frame, note, DecodeCursor::SeekRule::kNearby))
            missing.push_back(frame);
    }
    if (missing.empty()) {
        cursor.attach(index);
        return;
    }
    if (static_cast<int>(missing.size()) == num_frames)
        throw std::runtime_error("No frame of " + path + " can be decoded");
    index = without_frames(*index, missing);
    num_frames = index->num_frames();
    chroma_offsets_seen.assign(static_cast<size_t>(num_frames), ChromaQpOffsets{});
    chroma_offsets_known.assign(static_cast<size_t>(num_frames), false);
    cursor.attach(index);
}

void H264DecoderSession::read_stream_facts() {
    const AVStream* stream = cursor.fmt_ctx->streams[cursor.video_stream_idx];
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

void H264DecoderSession::release() {
    frame_cache.clear();
    std::deque<int>().swap(cache_order);
    cursor.release();
}

void H264DecoderSession::check_frame_index(int64_t frame_idx) const {
    if (frame_idx < 0 || frame_idx >= num_frames)
        throw std::out_of_range("Frame index out of bounds: " + std::to_string(frame_idx));
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

bool H264DecoderSession::decode_with(int frame_idx, const FrameSink& sink,
                                     DecodeCursor::SeekRule rule) {
    return cursor.decode_frame(
        frame_idx,
        [&](int idx, const AVFrame* frame) {
            chroma_offsets_seen[static_cast<size_t>(idx)] = read_chroma_qp_offsets(frame);
            chroma_offsets_known[static_cast<size_t>(idx)] = true;
            sink(idx, frame);
        },
        rule);
}

bool H264DecoderSession::known_chroma_qp_offsets(int frame_idx, ChromaQpOffsets& offsets) {
    std::lock_guard<std::mutex> lock(decode_mutex);
    check_open();
    check_frame_index(frame_idx);
    if (!chroma_offsets_known[static_cast<size_t>(frame_idx)]) return false;
    offsets = chroma_offsets_seen[static_cast<size_t>(frame_idx)];
    return true;
}

void H264DecoderSession::close() {
    std::lock_guard<std::mutex> lock(decode_mutex);
    release();
    is_closed = true;
}

bool H264DecoderSession::closed() const { return is_closed.load(); }

void H264DecoderSession::check_open() const {
    if (is_closed) throw SessionClosedError("Session is closed: " + path);
}

std::shared_ptr<CachedFrame> H264DecoderSession::get_frame(int frame_idx) {
    std::lock_guard<std::mutex> lock(decode_mutex);
    check_open();
    check_frame_index(frame_idx);
    if (auto cached = frame_cache.find(frame_idx); cached != frame_cache.end())
        return cached->second;

    std::shared_ptr<CachedFrame> result;
    const auto capture = [&](int idx, const AVFrame* frame) {
        std::shared_ptr<CachedFrame> record =
            capture_frame(frame, index->display_pts[static_cast<size_t>(idx)]);
        if (idx == frame_idx) result = record;
        store_in_cache(idx, std::move(record));
    };
    if (decode_with(frame_idx, capture, DecodeCursor::SeekRule::kNearby) && result != nullptr)
        return result;
    throw std::runtime_error("Failed to decode frame " + std::to_string(frame_idx));
}

void H264DecoderSession::decode_frames(const std::vector<int>& frames, const BatchSink& take,
                                       const std::function<void()>& poll) {
    std::lock_guard<std::mutex> lock(decode_mutex);
    check_open();
    std::vector<bool> taken(frames.size(), false);
    int decoded = 0;
    const auto take_wanted = [&](int idx, const AVFrame* frame) {
        if (poll && ++decoded % kPollInterval == 0) poll();
        const auto found = std::lower_bound(frames.begin(), frames.end(), idx);
        if (found == frames.end() || *found != idx) return;
        const auto position = static_cast<size_t>(found - frames.begin());
        if (taken[position]) return;
        take(position, frame);
        taken[position] = true;
    };
    for (size_t position = 0; position < frames.size(); ++position) {
        if (taken[position]) continue;
        const int frame_idx = frames[position];
        if (!decode_with(frame_idx, take_wanted, DecodeCursor::SeekRule::kCheapest) ||
            !taken[position])
            throw std::runtime_error("Failed to decode frame " + std::to_string(frame_idx));
    }
}
