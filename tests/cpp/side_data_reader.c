/* FFmpeg's own view of a file's per-picture side data, for the tests to
 * compare with: decodes the first video stream from start to end, in one
 * thread and with the loop filter skipped, exporting video encoding
 * parameters and motion vectors, and prints for every picture it outputs
 *
 *   picture PTS
 *   params TYPE QP NB_BLOCKS                (when the picture carries them)
 *   block SRC_X SRC_Y W H DELTA_QP          (one per block, in FFmpeg's order)
 *   mv SOURCE W H SRC_X SRC_Y DST_X DST_Y FLAGS MOTION_X MOTION_Y MOTION_SCALE
 *   luma NONZERO                            (how many of the first WIDTH bytes of
 *                                            each row of the first plane are not 0)
 *
 * PTS is the picture's best-effort timestamp. Exit status 3 when FFmpeg has
 * no decoder for the stream, 4 when the decoder lacks one of the options.
 *
 * Usage: side_data_reader FILE [DECODER_OPTION=VALUE ...]
 */
#include <inttypes.h>
#include <stddef.h>
#include <stdio.h>

#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/motion_vector.h>
#include <libavutil/video_enc_params.h>

static void print_picture(const AVFrame *frame)
{
    const AVFrameSideData *sd;

    printf("picture %" PRId64 "\n", frame->best_effort_timestamp);
    sd = av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    if (sd) {
        AVVideoEncParams *par = (AVVideoEncParams *)sd->data;
        printf("params %d %d %u\n", (int)par->type, par->qp, par->nb_blocks);
        for (unsigned i = 0; i < par->nb_blocks; i++) {
            const AVVideoBlockParams *b = av_video_enc_params_block(par, i);
            printf("block %d %d %d %d %d\n", b->src_x, b->src_y, b->w, b->h, b->delta_qp);
        }
    }
    sd = av_frame_get_side_data(frame, AV_FRAME_DATA_MOTION_VECTORS);
    if (sd) {
        const AVMotionVector *mvs = (const AVMotionVector *)sd->data;
        for (size_t i = 0; i < sd->size / sizeof(*mvs); i++) {
            const AVMotionVector *mv = &mvs[i];
            printf("mv %d %d %d %d %d %d %d %" PRIu64 " %d %d %d\n", mv->source, mv->w, mv->h,
                   mv->src_x, mv->src_y, mv->dst_x, mv->dst_y, mv->flags, mv->motion_x,
                   mv->motion_y, mv->motion_scale);
        }
    }
    if (frame->data[0]) {
        long nonzero = 0;
        for (int y = 0; y < frame->height; y++)
            for (int x = 0; x < frame->width; x++)
                nonzero += frame->data[0][(ptrdiff_t)y * frame->linesize[0] + x] != 0;
        printf("luma %ld\n", nonzero);
    }
}

static int receive_all(AVCodecContext *dec, AVFrame *frame)
{
    int ret;
    while ((ret = avcodec_receive_frame(dec, frame)) >= 0) {
        print_picture(frame);
        av_frame_unref(frame);
    }
    return ret == AVERROR(EAGAIN) || ret == AVERROR_EOF ? 0 : ret;
}

int main(int argc, char **argv)
{
    AVFormatContext *fmt = NULL;
    AVCodecContext *dec = NULL;
    const AVCodec *codec;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    int stream, ret = 1;

    AVDictionary *options = NULL;

    if (argc < 2 || !pkt || !frame)
        return 2;
    for (int i = 2; i < argc; i++)
        if (av_dict_parse_string(&options, argv[i], "=", "", 0) < 0)
            return 2;
    if (avformat_open_input(&fmt, argv[1], NULL, NULL) < 0 ||
        avformat_find_stream_info(fmt, NULL) < 0)
        goto end;
    stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, NULL, 0);
    if (stream < 0)
        goto end;
    codec = avcodec_find_decoder(fmt->streams[stream]->codecpar->codec_id);
    if (!codec) {
        ret = 3;
        goto end;
    }
    dec = avcodec_alloc_context3(codec);
    if (!dec || avcodec_parameters_to_context(dec, fmt->streams[stream]->codecpar) < 0)
        goto end;
    dec->thread_count = 1;
    dec->skip_loop_filter = AVDISCARD_ALL;
    dec->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS | AV_CODEC_EXPORT_DATA_MVS;
    dec->pkt_timebase = fmt->streams[stream]->time_base;
    if (avcodec_open2(dec, codec, &options) < 0)
        goto end;
    if (av_dict_count(options)) {
        ret = 4;
        goto end;
    }

    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == stream && avcodec_send_packet(dec, pkt) >= 0 &&
            receive_all(dec, frame) < 0) {
            av_packet_unref(pkt);
            goto end;
        }
        av_packet_unref(pkt);
    }
    avcodec_send_packet(dec, NULL);
    ret = receive_all(dec, frame) < 0;
end:
    av_dict_free(&options);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    return ret;
}
