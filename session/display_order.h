#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

// Recovers the display order of video packets that carry no presentation
// timestamps (raw elementary streams, H.264 or MPEG-4 Part 2 with B-frames in
// AVI) from their bitstream headers, read with libavcodec's parser.
//
// H.264: pictures are ordered by (IDR period, picture order count). MPEG-1/2
// and MPEG-4 Part 2: an I or P picture is shown after the B pictures that
// follow it in decode order.
class DisplayOrderRecovery {
public:
    // Reads the headers of any codec FFmpeg has a parser for; recovers the
    // order of the codecs named above only.
    explicit DisplayOrderRecovery(const AVCodecParameters* params);
    ~DisplayOrderRecovery();
    DisplayOrderRecovery(const DisplayOrderRecovery&) = delete;
    DisplayOrderRecovery& operator=(const DisplayOrderRecovery&) = delete;

    // True when it recovers this codec's display order.
    bool active() const { return parser_ != nullptr && orders_codec_; }

    // Reads the headers of the next packet in decode order.
    void observe(const AVPacket* packet);

    // Picture type of the last observed packet, as the parser read it.
    int last_picture_type() const { return parser_ != nullptr ? parser_->pict_type : 0; }
    // Picture size of the last observed packet as its headers state it (the
    // visible size where the codec crops), or 0. Some parsers (MPEG-4 Part 2)
    // put what they read into their codec context instead.
    int last_width() const { return parser_ == nullptr ? 0 : pick(parser_->width, parser_ctx_->width); }
    int last_height() const {
        return parser_ == nullptr ? 0 : pick(parser_->height, parser_ctx_->height);
    }

    // Display rank of every observed packet (0, 1, ...), or empty when some
    // packet's order could not be read.
    std::vector<int64_t> display_ranks() const;

private:
    static int pick(int stated, int fallback) { return stated > 0 ? stated : std::max(fallback, 0); }

    struct PictureOrder {
        int64_t period;
        int64_t order;
    };

    void observe_h264(const AVPacket* packet);
    void observe_anchored(const AVPacket* packet);

    AVCodecID codec_id_;
    bool orders_codec_ = false;
    AVCodecParserContext* parser_ = nullptr;
    AVCodecContext* parser_ctx_ = nullptr;
    int nal_length_size_ = 0;  // 0: Annex B start codes
    bool complete_ = true;
    int64_t period_ = -1;
    std::vector<PictureOrder> orders_;
    // MPEG-1/2/4: decode position of the I/P picture not yet shown.
    int64_t pending_anchor_ = -1;
    int64_t next_rank_ = 0;
};
