#pragma once

#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include "avio_reader.h"
#include "byte_source.h"
#include "ffmpeg_ptrs.h"
#include "index_cache.h"
#include "stream_index.h"

// Gets every decoded picture that maps to a frame index, with that index.
// The picture is only lent for the call.
using FrameSink = std::function<void(int frame_idx, const AVFrame* frame)>;

// One demuxer and one decoder over a file whose stream an index describes:
// seeks to key packets, decodes forward and drains. The single-frame queries
// and the batch queries of a session are two callers of one cursor.
class DecodeCursor {
public:
    // How the cursor decides between decoding on and seeking.
    enum class SeekRule {
        // Decode on inside the key group of the last picture decoded (or once
        // the next group's key packet was sent), at most kMaxForwardDecode
        // frames ahead.
        kNearby,
        // Decode on whenever that decodes fewer packets than a seek would,
        // however far ahead: for requests known to move forward.
        kCheapest,
    };

    // What a request needs of the pictures it decodes.
    enum class Content {
        // Planes and side data.
        kPictures,
        // Side data only (QPs, chroma offsets, motion vectors, the block
        // structure): the decoder may parse without reconstructing, where it
        // can.
        kSyntaxOnly,
        // The encoding parameters (QPs, chroma offsets) and the pictures'
        // properties only: as kSyntaxOnly, and the decoder exports no motion
        // vectors or block structure, whatever the session asked for.
        kEncodingParameters,
    };

    DecodeCursor() = default;
    ~DecodeCursor();
    DecodeCursor(const DecodeCursor&) = delete;
    DecodeCursor& operator=(const DecodeCursor&) = delete;

    // Opens the input at `path` (the URL is handed to libavformat as it is),
    // probes it quietly and chooses its first moving-picture video stream;
    // `interrupt` is asked now and then while the input is read. Throws
    // InputOpenError when the input cannot be opened and std::runtime_error
    // when it has no stream info or no video stream; then nothing stays open.
    // With `source` the input is read from it through an AVIOContext of the
    // cursor's own, and `path` only names it (and hints at its container).
    void open(const std::string& path, AVIOInterruptCB interrupt, int max_pixels,
              std::shared_ptr<ByteSource> source = nullptr);
    // Opens the decoder of the chosen stream, without deblocking and
    // exporting per-block encoding parameters, and motion vectors too when
    // asked, and the block structure when asked and the FFmpeg can.
    // With `parse_only`, a decoder that reconstructs no picture if it has
    // FFmpeg's parse_only option (mbgauge's FFmpeg gives it to H.264 and
    // HEVC), else an ordinary one.
    // The exports asked for here stay what the cursor's decoders export,
    // except for kEncodingParameters requests.
    void set_up_decoder(int max_pixels, bool motion_vectors, bool coding_blocks, bool parse_only);
    // Whether kSyntaxOnly requests may use a parse-only decoder (the
    // environment variable MBGAUGE_PARSE_ONLY=0 says no).
    void allow_parse_only(bool allowed) { parse_only_allowed_ = allowed; }
    // kSyntaxOnly requests decode without reconstructing: allowed, and the
    // decoder has the option.
    bool parses_only_when_asked() const { return parse_only_allowed_ && decoder_can_parse_only_; }
    // Reads the whole stream into an index (see build_stream_index), then
    // rewinds the input, flushes the decoder and keeps the index.
    // The index comes from the packet index cache when it holds this input's
    // (see index_cache.h), and goes into it when it did not.
    std::shared_ptr<const StreamIndex> index_stream(const std::string& path);
    // Replaces the index by a revision of it (frames removed), then rewinds
    // and flushes as index_stream does.
    void use_index(std::shared_ptr<const StreamIndex> index);
    // Throws what the byte source failed with since the last call, if it
    // did: a failed read ends FFmpeg's reading as the end of the input would.
    void rethrow_source_failure();
    // True when index_stream() found the index in the cache.
    bool index_from_cache() const { return index_from_cache_; }
    // Frees the decoder and closes the input.
    void release();
    // Forgets the FFmpeg objects without freeing them: for a thread being
    // ended from inside an FFmpeg call that may still be using them.
    void abandon();

    // Decodes until frame `frame_idx` has come out, handing every picture
    // that maps to a frame index to `sink` on the way; false when the frame
    // cannot be decoded. The index must be in range.
    // For `kSyntaxOnly` the pictures' planes may hold anything; their side
    // data and properties are those of a full decode. A change between the
    // two reopens the decoder and seeks, since a parse-only decoder's
    // references have no samples.
    bool decode_frame(int frame_idx, const FrameSink& sink, SeekRule rule,
                      Content content = Content::kPictures);

    // The chosen stream; only while the input is open.
    const AVStream& stream() const { return *fmt_ctx_->streams[video_stream_idx_]; }
    int stream_index() const { return video_stream_idx_; }
    // Streams of the input, chosen or not; 0 once released.
    unsigned int stream_count() const { return fmt_ctx_ ? fmt_ctx_->nb_streams : 0u; }
    // True while the input and the decoder are open.
    bool is_open() const { return fmt_ctx_ != nullptr && codec_ctx_ != nullptr; }
    // The last frame index that came out of the decoder; -1 after a seek,
    // a drain or a failure.
    int last_decoded_index() const { return last_decoded_idx_; }
    // Demux position of the next video packet the demuxer will return; -1
    // when unknown (after the rewind, a drain, or a seek that found no
    // indexed packet).
    int next_packet_index() const { return next_packet_idx_; }
    // Pictures the cursor's decoders have put out since it was opened
    // (FFmpeg's count, which a flush does not reset, summed over the fresh
    // decoders of seeks and restart points).
    int64_t pictures_decoded() const;

    static constexpr int kMaxForwardDecode = 350;
    // A picture leaves the decoder at most this many packets after its own
    // (H.264 reorders at most 16 pictures; slice threads add no delay).
    static constexpr int kMaxOutputDelayPackets = 32;
    // What a seek costs beyond its packets (flush, demuxer seek, re-reading
    // the key packet), counted in packets decoded.
    static constexpr int kSeekCostPackets = 2;

private:
    // Takes what the first open's probe found, and the packet index, from
    // the index cache; false (nothing taken) when it holds neither.
    bool restore_probe_from_cache(const std::string& path);
    // The packet index from the cache, or by reading the whole input (and
    // then kept in the cache).
    void find_or_build_index(const std::string& path);
    // A fresh decoder as set up last, reconstructing pictures or not, with
    // the session's motion vectors and block structure or without.
    void open_decoder(bool parse_only, bool extras);

    // Declared before the demuxer that reads through it, so freed after it.
    std::unique_ptr<AvioReader> reader_;
    bool index_from_cache_ = false;
    // What FFmpeg's probe found (or what the cache kept of it).
    ProbedStream probed_;
    FormatContextPtr fmt_ctx_;
    CodecContextPtr codec_ctx_;
    // Unpacks packed MPEG-4 B-frames before decoding; null for other streams.
    FilterPtr unpack_bsf_;
    int video_stream_idx_ = -1;
    std::shared_ptr<const StreamIndex> index_;
    int last_decoded_idx_ = -1;
    int next_packet_idx_ = -1;
    int max_pixels_ = 0;
    // What the session asked the decoder to export, and whether the current
    // decoder does (it does not for kEncodingParameters requests).
    bool export_motion_vectors_ = false;
    bool export_coding_blocks_ = false;
    bool exporting_extras_ = true;
    bool parse_only_allowed_ = true;
    // The open decoder reconstructs nothing; the decoder has the option.
    bool parsing_only_ = false;
    bool decoder_can_parse_only_ = false;

    // Forgets where the demuxer and the decoder stand.
    void forget_position();
    bool needs_seek(int frame_idx, SeekRule rule) const;
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
    // Demux position of a packet just read, searched from `hint` outwards;
    // -1 when the index has no such packet.
    int identify_packet(const AVPacket* packet, int hint) const;
    // Reads and decodes from where the demuxer stands until `frame_idx` comes
    // out, it can no longer come out, or the input ends.
    bool decode_until(int frame_idx, int first_packet_idx, bool holding_packet, AVPacket* packet,
                      AVFrame* frame, const FrameSink& sink);
    // Sends one packet and handles every frame that comes out; true once
    // `frame_idx` is out.
    bool send_and_receive(AVPacket* packet, AVFrame* frame, int frame_idx, const FrameSink& sink);
    bool drain_decoder(AVFrame* frame, int frame_idx, const FrameSink& sink);
    // Drains the decoder and replaces it with a fresh one, given the
    // parameter sets in effect, ahead of the restart point `packet_idx`;
    // true once `frame_idx` is out.
    bool restart_decoder(int packet_idx, AVFrame* frame, int frame_idx, const FrameSink& sink);
    // Whether decoding renews the decoder at restart points (H.264, HEVC).
    bool renews_at_restart_points() const;
    // Whether the decoder has been sent a packet since it was set up.
    bool decoder_fed_ = false;
    // Pictures put out by the decoders that set_up_decoder replaced.
    int64_t pictures_before_ = 0;
    // Receives every frame the decoder has ready; true once `frame_idx` is out.
    bool receive_frames(AVFrame* frame, int frame_idx, const FrameSink& sink);
    // The frame index of a decoded picture, or -1 when its timestamp belongs
    // to no frame.
    int frame_index_of(const AVFrame* frame) const;
};
