#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "byte_source.h"
#include "cached_frame.h"
#include "decode_cursor.h"
#include "stream_index.h"

// Thrown by a frame query on a session after close().
class SessionClosedError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// One opened video file: its first video stream, the packet index built at
// construction, a decoding cursor without deblocking that exports per-block
// encoding parameters, and a cache of the frames the single-frame queries
// decoded.
class H264DecoderSession {
public:
    // `interrupted`, when given, is asked now and then while the file is
    // opened and indexed; returning true abandons the open (the constructor
    // then throws). It is never called after the constructor returns. With
    // `motion_vectors` the decoder also exports each picture's motion vectors
    // into its record; with `coding_blocks` (and an FFmpeg that can) its
    // block structure.
    // With `source` the input is read from it, and `path` only names it in
    // messages (and hints at its container by its suffix). The packet index
    // comes from the index cache when it holds this input's.
    explicit H264DecoderSession(const std::string& path,
                                std::function<bool()> interrupted = nullptr,
                                bool motion_vectors = false,
                                std::shared_ptr<ByteSource> source = nullptr,
                                bool coding_blocks = true);
    ~H264DecoderSession();

    H264DecoderSession(const H264DecoderSession&) = delete;
    H264DecoderSession& operator=(const H264DecoderSession&) = delete;

    // The record of frame `frame_idx` (display order), from the cache or by
    // seeking and decoding. Throws std::out_of_range for an index outside
    // 0 .. num_frames - 1 and std::runtime_error when the frame cannot be
    // decoded. Calls on one session are serialised.
    std::shared_ptr<CachedFrame> get_frame(int frame_idx);

    // Releases the file, the decoder and the cached frames; waits for a
    // query running on another thread. Later queries throw
    // SessionClosedError; the stream facts stay readable. Closing twice is
    // harmless.
    void close();
    bool closed() const;

    // Decodes each of `frames` (display indices, ascending, distinct, checked
    // by check_frame_index) once, with the decoder moving forward, and hands
    // each to `take` with its position in `frames` as it comes out; with
    // kSyntaxOnly or kEncodingParameters, `take` must read no planes (nor,
    // with the latter, motion vectors or block structure; see DecodeCursor). Neither
    // reads nor fills the frame cache. Throws std::runtime_error "Failed to
    // decode frame N" for the first frame that does not come out. `poll`,
    // when given, is called every kPollInterval decoded pictures and may
    // throw to stop the call (an interrupt).
    using BatchSink = std::function<void(size_t position, const AVFrame* frame)>;
    void decode_frames(const std::vector<int>& frames, DecodeCursor::Content content,
                       const BatchSink& take, const std::function<void()>& poll = {});

    // The chroma QP offsets of frame `frame_idx` if any query has decoded it;
    // they are remembered for every frame (two numbers each), not evicted.
    bool known_chroma_qp_offsets(int frame_idx, ChromaQpOffsets& offsets);

    // Throws std::out_of_range naming `frame_idx` unless it is a frame index.
    void check_frame_index(int64_t frame_idx) const;

    // A caller's buffer is sized from the declared picture; throws
    // std::invalid_argument when plane `plane` of `record` (frame `frame_idx`,
    // of a stream that changed size or format mid-way) would not fit it, or
    // its samples are of another size.
    void check_fits_declared(const CachedFrame& record, int frame_idx, int plane) const;

    // What the file's headers declare, read once at construction.
    const std::string& path() const { return path_; }
    // The declared picture: the first pictures' size and pixel format (a
    // stream may change them mid-way; every record has its own layout).
    const PictureLayout& layout() const { return layout_; }
    int width() const { return layout_.width; }
    int height() const { return layout_.height; }
    int mb_cols() const { return layout_.mb_cols(); }
    int mb_rows() const { return layout_.mb_rows(); }
    int bytes_per_sample() const { return layout_.bytes_per_sample; }
    const std::string& pix_fmt() const { return pix_fmt_; }
    // FFmpeg's name of the stream's codec ("h264", "hevc", "mpeg2video", ...).
    const std::string& codec() const { return codec_; }
    double fps() const { return fps_; }
    int fps_num() const { return fps_num_; }
    int fps_den() const { return fps_den_; }
    AVRational time_base() const { return time_base_; }
    bool motion_vectors() const { return motion_vectors_; }
    // The batch QP and chroma offset queries decode without reconstructing
    // pictures: the decoder has the parse_only option (mbgauge's FFmpeg, H.264
    // and HEVC) and MBGAUGE_PARSE_ONLY is not 0.
    bool parse_only() const { return parse_only_; }
    bool coding_blocks() const { return coding_blocks_; }
    int num_frames() const { return num_frames_; }
    // Built once at construction and never changed.
    const StreamIndex& index() const { return *index_; }

    // The decoder's state, for tests and diagnostics.
    const DecodeCursor& cursor() const { return cursor_; }
    // Indices of the cached frames, oldest insertion first (the eviction order).
    std::vector<int> cached_frames() const;
    // The cached record of `frame_idx`, or null; neither decodes nor counts as a use.
    std::shared_ptr<const CachedFrame> cached_frame(int frame_idx) const;

    static constexpr size_t kCacheCapacity = 64;
    static constexpr int kPollInterval = 32;
    // Largest picture decoded: 8192 x 4352 (8K, whole macroblocks). Bounds
    // what one picture of a file with absurd headers may allocate (about
    // 214 MB at 16 bits, 4:4:4).
    static constexpr int64_t kMaxPixels = 8192 * 4352;

private:
    static int interrupt_trampoline(void* opaque);
    std::function<bool()> interrupted_;

    void read_stream_facts();
    // Removes from the index the frames that a packet cut short by the end
    // of the file keeps from coming out of the decoder.
    void drop_frames_lost_to_cut();
    void release();
    // Throws SessionClosedError after close(); called under decode_mutex.
    void check_open() const;
    void store_in_cache(int idx, std::shared_ptr<CachedFrame> record);
    // Runs the cursor to `frame_idx`, noting every picture's chroma offsets.
    bool decode_with(int frame_idx, const FrameSink& sink, DecodeCursor::SeekRule rule,
                     DecodeCursor::Content content = DecodeCursor::Content::kPictures);

    std::string path_;
    PictureLayout layout_;
    std::string pix_fmt_ = "yuv420p";
    std::string codec_;
    double fps_ = 24.0;
    int fps_num_ = 24;
    int fps_den_ = 1;
    AVRational time_base_{0, 1};
    bool motion_vectors_ = false;
    bool parse_only_ = false;
    bool coding_blocks_ = true;
    int num_frames_ = 0;

    // Shared with the cursor, which reads it while decoding.
    std::shared_ptr<const StreamIndex> index_;
    DecodeCursor cursor_;

    std::map<int, std::shared_ptr<CachedFrame>> frame_cache_;
    std::deque<int> cache_order_;

    std::vector<ChromaQpOffsets> chroma_offsets_seen_;
    std::vector<bool> chroma_offsets_known_;

    // Held for the whole of a query's decoding: the cursor and cache are
    // shared state, and the Python lock is released while decoding.
    mutable std::mutex decode_mutex_;
    // Set under decode_mutex_; read without it, so that asking whether a
    // session is closed never waits for a decode on another thread.
    std::atomic<bool> is_closed_{false};
};
