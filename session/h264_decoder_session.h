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
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include "cached_frame.h"
#include "packet_index.h"

// Thrown by a frame query on a session after close().
class SessionClosedError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// One opened video file: its first video stream, the packet index built at
// construction, a decoder without deblocking that exports per-block encoding
// parameters, and a cache of the frames decoded so far.
class H264DecoderSession {
public:
    // `interrupted`, when given, is asked now and then while the file is
    // opened and indexed; returning true abandons the open (the constructor
    // then throws). It is never called after the constructor returns.
    explicit H264DecoderSession(const std::string& path,
                                std::function<bool()> interrupted = nullptr);
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

    std::vector<PacketRecord> packets;
    std::vector<int64_t> display_pts;
    std::vector<int64_t> seek_pts;
    std::map<int64_t, int> pts_to_idx;
    // Per frame: demux position of the key packet decoding starts from, and
    // of the packet that carries the frame.
    std::vector<int> seek_packet;
    std::vector<int> frame_packet;
    // Streams whose parameter sets change (joined recordings): every state
    // of them as one packet, and per packet the state in effect there. Empty
    // when they never change.
    std::vector<std::vector<uint8_t>> parameter_set_packets;
    std::vector<int> parameter_sets_at;

    AVFormatContext* fmt_ctx = nullptr;
    AVCodecContext* codec_ctx = nullptr;
    // Unpacks packed MPEG-4 B-frames before decoding; null for other streams.
    AVBSFContext* unpack_bsf = nullptr;
    int video_stream_idx = -1;
    AVRational time_base{0, 1};

    std::map<int, std::shared_ptr<CachedFrame>> frame_cache;
    std::deque<int> cache_order;
    int last_decoded_idx = -1;
    // Demux position of the next video packet the demuxer will return; -1
    // when unknown (after the rewind, a drain, or a seek that found no
    // indexed packet).
    int next_packet_idx = -1;
    // The stream's packets carry no presentation timestamps; their pts in
    // `packets` are display ranks recovered from the bitstream.
    bool synthetic_pts = false;
    // Byte-joined recordings found in the file (1 for an ordinary file); with
    // more, a timestamp may stand for a packet of each, so seeks go by byte
    // position first (see separate_joined_recordings).
    int recording_count = 1;

    static constexpr size_t kCacheCapacity = 64;
    static constexpr int kMaxForwardDecode = 350;
    // Largest picture decoded: 8192 x 4352 (8K, whole macroblocks). Bounds
    // what one picture of a file with absurd headers may allocate (about
    // 214 MB at 16 bits, 4:4:4).
    static constexpr int64_t kMaxPixels = 8192 * 4352;
    // A picture leaves the decoder at most this many packets after its own
    // (H.264 reorders at most 16 pictures; slice threads add no delay).
    static constexpr int kMaxOutputDelayPackets = 32;

private:
    static int interrupt_trampoline(void* opaque);
    std::function<bool()> interrupted_;

    void read_stream_facts();
    void set_up_decoder();
    void build_index();
    void release();

    bool needs_seek(int frame_idx) const;
    // Flushes the decoder and positions the demuxer at the key packet
    // `key_packet_idx` or before it; true when `packet` then holds the first
    // video packet read, at demux position next_packet_idx.
    bool seek_to_packet(int key_packet_idx, AVPacket* packet);
    bool read_video_packet(AVPacket* packet);
    // Gives the decoder the parameter sets in effect at `packet_idx`, which
    // a seek back across a change of them would otherwise miss.
    void send_parameter_sets(int packet_idx);
    // The timestamp the demuxer knows a packet by, or AV_NOPTS_VALUE.
    int64_t demuxer_timestamp(const PacketRecord& record) const;
    int identify_packet(const AVPacket* packet) const;
    // Reads and decodes from where the demuxer stands until `frame_idx` comes
    // out, it can no longer come out, or the input ends.
    bool decode_until(int frame_idx, int first_packet_idx, bool holding_packet, AVPacket* packet,
                      AVFrame* frame, std::shared_ptr<CachedFrame>& result);
    // Sends one packet and handles every frame that comes out; true once
    // `frame_idx` is out.
    bool send_and_receive(AVPacket* packet, AVFrame* frame, int frame_idx,
                          std::shared_ptr<CachedFrame>& result);
    void drain_decoder(AVFrame* frame, int frame_idx, std::shared_ptr<CachedFrame>& result);
    // Captures and caches one decoded frame; returns its frame index, or -1
    // when its timestamp belongs to no frame.
    int handle_decoded_frame(const AVFrame* frame, int frame_idx,
                             std::shared_ptr<CachedFrame>& result);
    // Receives every frame the decoder has ready; true once `frame_idx` is out.
    bool receive_frames(AVFrame* frame, int frame_idx, std::shared_ptr<CachedFrame>& result);
    void store_in_cache(int idx, std::shared_ptr<CachedFrame> record);

    // Held for the whole of get_frame: the demuxer, decoder and cache are
    // shared state, and the Python lock is released while decoding.
    std::mutex decode_mutex;
    // Set under decode_mutex; read without it, so that asking whether a
    // session is closed never waits for a decode on another thread.
    std::atomic<bool> is_closed{false};
};
