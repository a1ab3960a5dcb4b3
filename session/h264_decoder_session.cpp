#include "h264_decoder_session.h"

#include <algorithm>
#include <cstdlib>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <stdexcept>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "pipe_spool.h"
#include "quiet_probing.h"

namespace {

bool is_usable_rate(AVRational rate) { return rate.num > 0 && rate.den > 0; }

// Queries that read no planes decode without reconstructing pictures unless
// MBGAUGE_PARSE_ONLY=0 (for comparing the two, as the benchmarks do).
bool parse_only_allowed() {
    const char* setting = std::getenv("MBGAUGE_PARSE_ONLY");
    return setting == nullptr || std::string(setting) != "0";
}

}  // namespace

int H264DecoderSession::interrupt_trampoline(void* opaque) {
    const auto* session = static_cast<const H264DecoderSession*>(opaque);
    return session->interrupted_ && session->interrupted_() ? 1 : 0;
}

H264DecoderSession::H264DecoderSession(const std::string& path,
                                       std::function<bool()> interrupted, bool motion_vectors,
                                       std::shared_ptr<ByteSource> source, bool coding_blocks)
    : interrupted_(std::move(interrupted)),
      path_(path),
      motion_vectors_(motion_vectors),
      coding_blocks_(coding_blocks) {
    std::shared_ptr<PipeSpool> spool;
    try {
        if (!source) {
            spool = PipeSpool::open_if_unseekable(path_, interrupted_, this);
            if (spool) source = spool;
        }
        cursor_.open(path_, AVIOInterruptCB{&H264DecoderSession::interrupt_trampoline, this},
                     static_cast<int>(kMaxPixels), std::move(source));
        read_stream_facts();
        cursor_.allow_parse_only(parse_only_allowed());
        cursor_.set_up_decoder(static_cast<int>(kMaxPixels), motion_vectors_, coding_blocks_, false);
        parse_only_ = cursor_.parses_only_when_asked();
        index_ = cursor_.index_stream(path_);
        num_frames_ = index_->num_frames();
        chroma_offsets_seen_.assign(static_cast<size_t>(num_frames_), ChromaQpOffsets{});
        chroma_offsets_known_.assign(static_cast<size_t>(num_frames_), false);
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
        if (spool) spool->unwatch(this);
        cursor_.abandon();
        throw;
#endif
    } catch (...) {
        interrupted_ = nullptr;
        if (spool) spool->unwatch(this);
        release();
        throw;
    }
    // Frame queries run without the interpreter lock; the check must not
    // outlive the open it was given for.
    interrupted_ = nullptr;
    if (spool) spool->unwatch(this);
}

H264DecoderSession::~H264DecoderSession() { release(); }

void H264DecoderSession::drop_frames_lost_to_cut() {
    // A file cut short (an MP4 whose index, at the front, lists samples past
    // the end) ends with a packet whose picture, and those that reference it,
    // may never come out of the decoder. Which ones do is found by decoding
    // that last stretch once, so that every numbered frame decodes.
    const std::vector<int> suspects = frames_after_cut(*index_);
    if (suspects.empty()) return;
    std::vector<bool> seen(static_cast<size_t>(num_frames_), false);
    const FrameSink note = [&](int idx, const AVFrame*) { seen[static_cast<size_t>(idx)] = true; };
    std::vector<int> missing;
    for (const int frame : suspects) {
        if (interrupted_ && interrupted_()) throw std::runtime_error("Interrupted: " + path_);
        if (!seen[static_cast<size_t>(frame)] &&
            !cursor_.decode_frame(frame, note, DecodeCursor::SeekRule::kNearby))
            missing.push_back(frame);
    }
    if (static_cast<int>(missing.size()) == num_frames_)
        throw std::runtime_error("No frame of " + path_ + " can be decoded");
    if (!missing.empty()) {
        index_ = without_frames(*index_, missing);
        num_frames_ = index_->num_frames();
        chroma_offsets_seen_.assign(static_cast<size_t>(num_frames_), ChromaQpOffsets{});
        chroma_offsets_known_.assign(static_cast<size_t>(num_frames_), false);
    }
    cursor_.use_index(index_);
}

void H264DecoderSession::read_stream_facts() {
    const AVStream& stream = cursor_.stream();
    const AVCodecParameters* params = stream.codecpar;
    time_base_ = stream.time_base;

    AVRational rate{0, 0};
    if (is_usable_rate(stream.avg_frame_rate)) {
        rate = stream.avg_frame_rate;
    } else if (is_usable_rate(stream.r_frame_rate)) {
        rate = stream.r_frame_rate;
    }
    if (is_usable_rate(rate)) {
        fps_num_ = rate.num;
        fps_den_ = rate.den;
        fps_ = static_cast<double>(rate.num) / static_cast<double>(rate.den);
    }

    codec_ = avcodec_get_name(params->codec_id);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(params->format));
    if (desc != nullptr) pix_fmt_ = desc->name;
    layout_ = declared_layout(pix_fmt_, params->width, params->height);
}

void H264DecoderSession::release() {
    frame_cache_.clear();
    std::deque<int>().swap(cache_order_);
    cursor_.release();
}

void H264DecoderSession::check_frame_index(int64_t frame_idx) const {
    if (frame_idx < 0 || frame_idx >= num_frames_)
        throw std::out_of_range("Frame index out of bounds: " + std::to_string(frame_idx));
}

namespace {

std::string describe(const PictureLayout& layout, const std::string& pix_fmt) {
    return std::to_string(layout.width) + "x" + std::to_string(layout.height) + " " + pix_fmt;
}

}  // namespace

void H264DecoderSession::check_fits_declared(const CachedFrame& record, int frame_idx,
                                             int plane) const {
    const PictureLayout& own = record.layout;
    const bool declared_plane = plane < layout_.num_planes;
    const int declared_rows = declared_plane ? layout_.plane_height[plane] : 0;
    const int64_t declared_row_bytes = declared_plane ? layout_.row_bytes(plane) : 0;
    const std::string sizes = "Frame " + std::to_string(frame_idx) + " is " +
                              describe(own, record.pix_fmt) + " but the session is " +
                              describe(layout_, pix_fmt_);
    // The caller reads the buffer in samples of the session's size: 8-bit
    // samples in a buffer of 16-bit ones (or the other way) would be garbage.
    if (own.bytes_per_sample != layout_.bytes_per_sample) {
        throw std::invalid_argument(sizes + ": its samples are " +
                                    std::to_string(own.bytes_per_sample) + " bytes, not the session's " +
                                    std::to_string(layout_.bytes_per_sample) + "; nothing was copied");
    }
    if (own.plane_height[plane] <= declared_rows && own.row_bytes(plane) <= declared_row_bytes) return;
    throw std::invalid_argument(
        sizes + ": its plane " + std::to_string(plane) + " (" + std::to_string(own.plane_height[plane]) +
        " rows of " + std::to_string(own.row_bytes(plane)) + " bytes) does not fit a buffer sized "
        "from the session's properties (" + std::to_string(declared_rows) + " rows of " +
        std::to_string(declared_row_bytes) + " bytes); nothing was copied");
}

void H264DecoderSession::store_in_cache(int idx, std::shared_ptr<CachedFrame> record) {
    auto existing = frame_cache_.find(idx);
    if (existing != frame_cache_.end()) {
        existing->second = std::move(record);
        return;
    }
    while (frame_cache_.size() >= kCacheCapacity && !cache_order_.empty()) {
        frame_cache_.erase(cache_order_.front());
        cache_order_.pop_front();
    }
    frame_cache_.emplace(idx, std::move(record));
    cache_order_.push_back(idx);
}

bool H264DecoderSession::decode_with(int frame_idx, const FrameSink& sink,
                                     DecodeCursor::SeekRule rule, DecodeCursor::Content content) {
    bool decoded = false;
    try {
        decoded = cursor_.decode_frame(
            frame_idx,
            [&](int idx, const AVFrame* frame) {
                chroma_offsets_seen_[static_cast<size_t>(idx)] = read_chroma_qp_offsets(frame);
                chroma_offsets_known_[static_cast<size_t>(idx)] = true;
                sink(idx, frame);
            },
            rule, content);
    } catch (...) {
        // A failed read of the input shows as a failure to decode: say what
        // it was instead.
        cursor_.rethrow_source_failure();
        throw;
    }
    cursor_.rethrow_source_failure();
    return decoded;
}

bool H264DecoderSession::known_chroma_qp_offsets(int frame_idx, ChromaQpOffsets& offsets) {
    std::lock_guard<std::mutex> lock(decode_mutex_);
    check_open();
    check_frame_index(frame_idx);
    if (!chroma_offsets_known_[static_cast<size_t>(frame_idx)]) return false;
    offsets = chroma_offsets_seen_[static_cast<size_t>(frame_idx)];
    return true;
}

void H264DecoderSession::close() {
    std::lock_guard<std::mutex> lock(decode_mutex_);
    release();
    is_closed_ = true;
}

bool H264DecoderSession::closed() const { return is_closed_.load(); }

void H264DecoderSession::check_open() const {
    if (is_closed_) throw SessionClosedError("Session is closed: " + path_);
}

std::shared_ptr<CachedFrame> H264DecoderSession::get_frame(int frame_idx) {
    std::lock_guard<std::mutex> lock(decode_mutex_);
    check_open();
    check_frame_index(frame_idx);
    if (auto cached = frame_cache_.find(frame_idx); cached != frame_cache_.end())
        return cached->second;

    std::shared_ptr<CachedFrame> result;
    const auto capture = [&](int idx, const AVFrame* frame) {
        std::shared_ptr<CachedFrame> record =
            capture_frame(frame, index_->display_pts[static_cast<size_t>(idx)]);
        if (idx == frame_idx) result = record;
        store_in_cache(idx, std::move(record));
    };
    if (decode_with(frame_idx, capture, DecodeCursor::SeekRule::kNearby) && result != nullptr)
        return result;
    throw std::runtime_error("Failed to decode frame " + std::to_string(frame_idx));
}

void H264DecoderSession::decode_frames(const std::vector<int>& frames,
                                       DecodeCursor::Content content, const BatchSink& take,
                                       const std::function<void()>& poll) {
    std::lock_guard<std::mutex> lock(decode_mutex_);
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
        if (!decode_with(frame_idx, take_wanted, DecodeCursor::SeekRule::kCheapest, content) ||
            !taken[position])
            throw std::runtime_error("Failed to decode frame " + std::to_string(frame_idx));
    }
}

std::vector<int> H264DecoderSession::cached_frames() const {
    std::lock_guard<std::mutex> lock(decode_mutex_);
    return {cache_order_.begin(), cache_order_.end()};
}

std::shared_ptr<const CachedFrame> H264DecoderSession::cached_frame(int frame_idx) const {
    std::lock_guard<std::mutex> lock(decode_mutex_);
    const auto cached = frame_cache_.find(frame_idx);
    return cached == frame_cache_.end() ? nullptr : cached->second;
}
