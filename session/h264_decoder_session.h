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
    // into its record.
    explicit H264DecoderSession(const std::string& path,
                                std::function<bool()> interrupted = nullptr,
                                bool motion_vectors = false);
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
    // each to `take` with its position in `frames` as it comes out. Neither
    // reads nor fills the frame cache. Throws std::runtime_error "Failed to
    // decode frame N" for the first frame that does not come out. `poll`,
    // when given, is called every kPollInterval decoded pictures and may
    // throw to stop the call (an interrupt).
    using BatchSink = std::function<void(size_t position, const AVFrame* frame)>;
    void decode_frames(const std::vector<int>& frames, const BatchSink& take,
                       const std::function<void()>& poll = {});

    // The chroma QP offsets of frame `frame_idx` if any query has decoded it;
    // they are remembered for every frame (two numbers each), not evicted.
    bool known_chroma_qp_offsets(int frame_idx, ChromaQpOffsets& offsets);

    // Throws std::out_of_range naming `frame_idx` unless it is a frame index.
    void check_frame_index(int64_t frame_idx) const;

    std::string path;
    int width = 0;
    int height = 0;
    int mb_cols = 0;
    int mb_rows = 0;
    int num_frames = 0;
    double fps = 24.0;
    int fps_num = 24;
    int fps_den = 1;
    std::string pix_fmt = "yuv420p";
    // FFmpeg's name of the stream's codec ("h264", "hevc", "mpeg2video", ...).
    std::string codec;
    int bytes_per_sample = 1;
    bool motion_vectors = false;
    AVRational time_base{0, 1};

    // Built once at construction and never changed; cursors share it.
    std::shared_ptr<const StreamIndex> index;
    DecodeCursor cursor;

    std::map<int, std::shared_ptr<CachedFrame>> frame_cache;
    std::deque<int> cache_order;

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
    bool decode_with(int frame_idx, const FrameSink& sink, DecodeCursor::SeekRule rule);

    std::vector<ChromaQpOffsets> chroma_offsets_seen;
    std::vector<bool> chroma_offsets_known;

    // Held for the whole of a query's decoding: the cursor and cache are
    // shared state, and the Python lock is released while decoding.
    std::mutex decode_mutex;
    // Set under decode_mutex; read without it, so that asking whether a
    // session is closed never waits for a decode on another thread.
    std::atomic<bool> is_closed{false};
};
