/* FFmpeg's own view of a file, as reference for the tests: decodes the first
 * video stream from start to end with libavcodec alone (slice threads, no
 * loop filter, video encoding parameters exported) and prints, for every
 * picture in output order:
 *
 *   frame PTS WIDTH HEIGHT BYTES_PER_SAMPLE
 *   params TYPE QP CB CR NB_BLOCKS      (or "params none")
 *   block SRC_X SRC_Y W H DELTA_QP      (NB_BLOCKS lines)
 *
 * With a second argument, the visible planes of every picture are appended to
 * that file, row after row without padding (Y, Cb, Cr).
 */
#include <stdio.h>
#include <stdlib.h>

#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libavutil/video_enc_params.h>

static void print_frame(const AVFrame *frame, FILE *planes)
{
    const AVFrameSideData *sd = av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(frame->format);
    const int bytes = desc->comp[0].depth > 8 ? 2 : 1;

    printf("frame %lld %d %d %d\n", (long long)frame->pts, frame->width, frame->height, bytes);
    if (!sd) {
        printf("params none\n");
    } else {
        AVVideoEncParams *par = (AVVideoEncParams *)sd->data;
        printf("params %d %d %d %d %u\n", par->type, par->qp, par->delta_qp[1][0],
               par->delta_qp[2][0], par->nb_blocks);
        for (unsigned int i = 0; i < par->nb_blocks; i++) {
            const AVVideoBlockParams *b = av_video_enc_params_block(par, i);
            printf("block %d %d %d %d %d\n", b->src_x, b->src_y, b->w, b->h, b->delta_qp);
        }
    }

    if (planes) {
        for (int p = 0; p < 3 && frame->data[p]; p++) {
            const int w = p ? AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w) : frame->width;
            const int h = p ? AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h) : frame->height;
            for (int y = 0; y < h; y++)
                fwrite(frame->data[p] + (ptrdiff_t)y * frame->linesize[p], bytes, w, planes);
        }
    }
}

int main(int argc, char **argv)
{
    AVFormatContext *fmt = NULL;
    AVCodecContext *dec = NULL;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    FILE *planes = NULL;
    int stream, ret;

    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s FILE [PLANES_OUT]\n", argv[0]);
        return 2;
    }
    if (argc == 3 && !(planes = fopen(argv[2], "wb")))
        return 1;
    if (avformat_open_input(&fmt, argv[1], NULL, NULL) < 0 ||
        avformat_find_stream_info(fmt, NULL) < 0)
        return 1;
    stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, NULL, 0);
    if (stream < 0)
        return 1;
    dec = avcodec_alloc_context3(avcodec_find_decoder(fmt->streams[stream]->codecpar->codec_id));
    avcodec_parameters_to_context(dec, fmt->streams[stream]->codecpar);
    dec->thread_count     = 0;
    dec->thread_type      = FF_THREAD_SLICE;
    dec->skip_loop_filter = AVDISCARD_ALL;
    dec->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
    dec->pkt_timebase     = fmt->streams[stream]->time_base;
    if (avcodec_open2(dec, NULL, NULL) < 0)
        return 1;

    for (int draining = 0; !draining;) {
        ret = av_read_frame(fmt, pkt);
        if (ret < 0) {
            draining = 1;
            avcodec_send_packet(dec, NULL);
        } else if (pkt->stream_index == stream) {
            avcodec_send_packet(dec, pkt);
        }
        av_packet_unref(pkt);
        while (avcodec_receive_frame(dec, frame) >= 0) {
            print_frame(frame, planes);
            av_frame_unref(frame);
        }
    }

    if (planes)
        fclose(planes);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    return 0;
}
