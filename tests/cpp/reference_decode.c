/* FFmpeg's own decode of one video stream, as the ffmpeg command does it with
 * -skip_loop_filter all -flags unaligned -export_side_data venc_params: every
 * packet in file order, then a drain. For each picture the decoder puts out,
 * in that order, writes to stdout the line "WIDTH HEIGHT PIX_FMT ROWS COLS\n",
 * the visible luma rows (bytes per sample 1 or 2, no padding) and the QP of
 * every 16x16 cell of the coded picture, ROWS x COLS int8 cells, from the
 * exported video encoding parameters (-1 where no block covers the cell's
 * top-left sample).
 *
 * Usage: reference_decode FILE STREAM_INDEX
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libavutil/video_enc_params.h>

static void write_picture(const AVFrame *frame) {
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(frame->format);
    const int bps = desc->comp[0].depth > 8 ? 2 : 1;
    const AVFrameSideData *side = av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    AVVideoEncParams *params = side ? (AVVideoEncParams *)side->data : NULL;
    int rows = 0, cols = 0;
    for (unsigned i = 0; params && i < params->nb_blocks; i++) {
        AVVideoBlockParams *b = av_video_enc_params_block(params, i);
        if ((b->src_y + b->h + 15) / 16 > rows) rows = (b->src_y + b->h + 15) / 16;
        if ((b->src_x + b->w + 15) / 16 > cols) cols = (b->src_x + b->w + 15) / 16;
    }
    signed char *qp = malloc((size_t)rows * cols + 1);
    memset(qp, -1, (size_t)rows * cols);
    /* A macroblock cell takes the block that covers its top-left sample
     * (HEVC's coding blocks range from 8x8 to 64x64). */
    for (unsigned i = 0; params && i < params->nb_blocks; i++) {
        AVVideoBlockParams *b = av_video_enc_params_block(params, i);
        for (int y = (b->src_y + 15) / 16 * 16; y < b->src_y + b->h; y += 16)
            for (int x = (b->src_x + 15) / 16 * 16; x < b->src_x + b->w; x += 16)
                qp[(y / 16) * cols + x / 16] = (signed char)(params->qp + b->delta_qp);
    }
    printf("%d %d %s %d %d\n", frame->width, frame->height, desc->name, rows, cols);
    fflush(stdout);
    for (int y = 0; y < frame->height; y++)
        fwrite(frame->data[0] + (size_t)y * frame->linesize[0], 1, (size_t)frame->width * bps, stdout);
    fwrite(qp, 1, (size_t)rows * cols, stdout);
    fflush(stdout);
    free(qp);
}

static void receive_all(AVCodecContext *codec, AVFrame *frame) {
    while (avcodec_receive_frame(codec, frame) >= 0) {
        write_picture(frame);
        av_frame_unref(frame);
    }
}

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    AVFormatContext *format = NULL;
    if (avformat_open_input(&format, argv[1], NULL, NULL) < 0) return 1;
    if (avformat_find_stream_info(format, NULL) < 0) return 1;
    const int stream = atoi(argv[2]);
    const AVCodecParameters *par = format->streams[stream]->codecpar;
    const AVCodec *decoder = avcodec_find_decoder(par->codec_id);
    AVCodecContext *codec = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(codec, par);
    codec->skip_loop_filter = AVDISCARD_ALL;
    codec->flags |= AV_CODEC_FLAG_UNALIGNED;
    codec->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
    codec->thread_count = 1;
    if (avcodec_open2(codec, decoder, NULL) < 0) return 1;
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == stream && avcodec_send_packet(codec, packet) >= 0)
            receive_all(codec, frame);
        av_packet_unref(packet);
    }
    avcodec_send_packet(codec, NULL);
    receive_all(codec, frame);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return 0;
}
