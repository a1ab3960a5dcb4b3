#pragma once

#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "hevc_picture_order.h"

// Recovers the display order of video packets that carry no presentation
// timestamps (raw elementary streams, H.264 or MPEG-4 Part 2 with B-frames in
// AVI), or timestamps that contradict the bitstream, from their bitstream
// headers: read with libavcodec's parser, HEVC slice headers by
// HevcPictureOrder.
//
// H.264: pictures are ordered by (IDR period, picture order count). HEVC: by
// (coded video sequence, picture order count). MPEG-1/2 and MPEG-4 Part 2: an
// I or P picture is shown after the B pictures that follow it in decode order.
class DisplayOrderRecovery {
public:
    // Inactive for codecs whose order it cannot recover.
    explicit DisplayOrderRecovery(const AVCodecParameters* params);
    ~DisplayOrderRecovery();
    DisplayOrderRecovery(const DisplayOrderRecovery&) = delete;
    DisplayOrderRecovery& operator=(const DisplayOrderRecovery&) = delete;

    bool active() const { return parser_ != nullptr || hevc_ != nullptr; }

    // Reads the headers of the next packet in decode order.
    void observe(const AVPacket* packet);

    // The HEVC reader, or null for other codecs.
    const HevcPictureOrder* hevc() const { return hevc_.get(); }

    // Picture type of the last observed packet, as the parser read it.
    int last_picture_type() const { return parser_ != nullptr ? parser_->pict_type : 0; }

    // Display rank of every observed packet (0, 1, ...), AV_NOPTS_VALUE for
    // a picture the decoder never shows, or empty when some packet's order
    // could not be read.
    std::vector<int64_t> display_ranks() const;

private:
    struct PictureOrder {
        int64_t period;
        int64_t order;
        bool shown = true;
    };

    void observe_h264(const AVPacket* packet);
    void observe_anchored(const AVPacket* packet);

    AVCodecID codec_id_;
    AVCodecParserContext* parser_ = nullptr;
    AVCodecContext* parser_ctx_ = nullptr;
    std::unique_ptr<HevcPictureOrder> hevc_;
    int nal_length_size_ = 0;  // 0: Annex B start codes
    bool complete_ = true;
    int64_t period_ = -1;
    std::vector<PictureOrder> orders_;
    // MPEG-1/2/4: decode position of the I/P picture not yet shown.
    int64_t pending_anchor_ = -1;
    int64_t next_rank_ = 0;
};
