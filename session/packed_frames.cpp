#include "packed_frames.h"

#include <new>

AVBSFContext* open_unpacking_filter(const AVCodecParameters* params) {
    if (params->codec_id != AV_CODEC_ID_MPEG4) return nullptr;
    const AVBitStreamFilter* unpacker = av_bsf_get_by_name("mpeg4_unpack_bframes");
    if (unpacker == nullptr) return nullptr;
    AVBSFContext* filter = nullptr;
    if (av_bsf_alloc(unpacker, &filter) < 0) throw std::bad_alloc();
    if (avcodec_parameters_copy(filter->par_in, params) < 0 || av_bsf_init(filter) < 0) {
        av_bsf_free(&filter);
        return nullptr;
    }
    return filter;
}

bool unpack_packet(AVBSFContext* filter, AVPacket* packet) {
    if (av_bsf_send_packet(filter, packet) < 0) {
        av_packet_unref(packet);
        return false;
    }
    return av_bsf_receive_packet(filter, packet) >= 0;
}
