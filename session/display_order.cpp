#include "display_order.h"

#include <algorithm>
#include <climits>
#include <new>

namespace {

constexpr int kH264IdrSlice = 5;
constexpr int kOrderUnknown = INT_MIN;

// True when an H.264 access unit holds an IDR slice.
bool has_idr_slice(const uint8_t* data, int size, int nal_length_size) {
    if (nal_length_size > 0) {
        int offset = 0;
        while (offset + nal_length_size < size) {
            int64_t length = 0;
            for (int i = 0; i < nal_length_size; ++i) length = (length << 8) | data[offset + i];
            offset += nal_length_size;
            if ((data[offset] & 0x1f) == kH264IdrSlice) return true;
            offset += static_cast<int>(std::min<int64_t>(length, size));
        }
        return false;
    }
    for (int i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 &&
            (data[i + 3] & 0x1f) == kH264IdrSlice)
            return true;
    }
    return false;
}

}  // namespace

DisplayOrderRecovery::DisplayOrderRecovery(const AVCodecParameters* params)
    : codec_id_(params->codec_id) {
    switch (codec_id_) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_MPEG4:
        break;
    case AV_CODEC_ID_HEVC:
        hevc_ = std::make_unique<HevcPictureOrder>(params->extradata, params->extradata_size);
        return;
    default:
        return;
    }
    parser_ = av_parser_init(codec_id_);
    if (parser_ == nullptr) return;
    // One packet is one picture; the parser must not wait for the next one.
    parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    parser_ctx_ = avcodec_alloc_context3(nullptr);
    if (parser_ctx_ == nullptr) {
        av_parser_close(parser_);
        throw std::bad_alloc();
    }
    avcodec_parameters_to_context(parser_ctx_, params);
    // avcC extradata: NAL units are length-prefixed instead of start codes.
    if (codec_id_ == AV_CODEC_ID_H264 && params->extradata_size > 4 && params->extradata[0] == 1)
        nal_length_size_ = (params->extradata[4] & 3) + 1;
}

DisplayOrderRecovery::~DisplayOrderRecovery() {
    if (parser_ != nullptr) av_parser_close(parser_);
    avcodec_free_context(&parser_ctx_);
}

void DisplayOrderRecovery::observe(const AVPacket* packet) {
    if (!active()) return;
    if (hevc_ != nullptr) {
        hevc_->observe(packet->data, packet->size);
        return;
    }
    uint8_t* out = nullptr;
    int out_size = 0;
    // The parser leaves the order count alone when it cannot read a picture.
    parser_->output_picture_number = kOrderUnknown;
    av_parser_parse2(parser_, parser_ctx_, &out, &out_size, packet->data, packet->size,
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, packet->pos);
    if (codec_id_ == AV_CODEC_ID_H264) {
        observe_h264(packet);
    } else {
        observe_anchored(packet);
    }
}

void DisplayOrderRecovery::observe_h264(const AVPacket* packet) {
    if (has_idr_slice(packet->data, packet->size, nal_length_size_) || period_ < 0) ++period_;
    if (parser_->output_picture_number == kOrderUnknown) complete_ = false;
    orders_.push_back(PictureOrder{period_, parser_->output_picture_number});
}


void DisplayOrderRecovery::observe_anchored(const AVPacket* /*packet*/) {
    const int64_t position = static_cast<int64_t>(orders_.size());
    orders_.push_back(PictureOrder{0, -1});
    switch (parser_->pict_type) {
    case AV_PICTURE_TYPE_B:
        orders_.back().order = next_rank_++;
        break;
    case AV_PICTURE_TYPE_I:
    case AV_PICTURE_TYPE_P:
    case AV_PICTURE_TYPE_S:
        if (pending_anchor_ >= 0) orders_[pending_anchor_].order = next_rank_++;
        pending_anchor_ = position;
        break;
    default:
        complete_ = false;
    }
}

std::vector<int64_t> DisplayOrderRecovery::display_ranks() const {
    if (!active() || !complete_) return {};
    std::vector<PictureOrder> orders = orders_;
    if (hevc_ != nullptr) {
        for (const HevcPictureOrder::Picture& picture : hevc_->pictures())
            orders.push_back(PictureOrder{picture.sequence, picture.order, picture.shown});
    }
    if (orders.empty()) return {};
    if (codec_id_ != AV_CODEC_ID_H264 && pending_anchor_ >= 0)
        orders[pending_anchor_].order = next_rank_;

    std::vector<int64_t> by_display;
    by_display.reserve(orders.size());
    for (size_t i = 0; i < orders.size(); ++i) {
        if (orders[i].shown) by_display.push_back(static_cast<int64_t>(i));
    }
    std::stable_sort(by_display.begin(), by_display.end(), [&](int64_t a, int64_t b) {
        if (orders[a].period != orders[b].period) return orders[a].period < orders[b].period;
        return orders[a].order < orders[b].order;
    });
    std::vector<int64_t> ranks(orders.size(), AV_NOPTS_VALUE);
    for (size_t rank = 0; rank < by_display.size(); ++rank) ranks[by_display[rank]] = static_cast<int64_t>(rank);
    return ranks;
}
