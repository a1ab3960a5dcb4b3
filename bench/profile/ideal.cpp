// The least work that yields every frame's QP map: the decoder set up as the
// session sets it up (no deblocking, encoding parameters exported, slice
// threads), and each map built from the side data into one reused buffer,
// without copying planes or caching anything. A lower bound to compare the
// session core against.
//
//   ideal FILE [FRAMES]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/video_enc_params.h>
}

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const int limit = argc > 2 ? std::atoi(argv[2]) : 1 << 30;
    const auto t0 = std::chrono::steady_clock::now();
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, argv[1], nullptr, nullptr) < 0) return 1;
    avformat_find_stream_info(fmt, nullptr);
    const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = fmt->streams[stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(ctx, par);
    ctx->skip_loop_filter = AVDISCARD_ALL;
    ctx->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
    ctx->thread_count = 0;
    ctx->thread_type = FF_THREAD_SLICE;
    if (avcodec_open2(ctx, codec, nullptr) < 0) return 1;
    const int mb_cols = (par->width + 15) / 16, mb_rows = (par->height + 15) / 16;
    std::vector<int8_t> qp(static_cast<size_t>(mb_cols) * mb_rows);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int frames = 0;
    long checksum = 0;
    auto take = [&]() {
        while (frames < limit && avcodec_receive_frame(ctx, frame) >= 0) {
            std::fill(qp.begin(), qp.end(), int8_t{-1});
            if (const AVFrameSideData* sd = av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS)) {
                auto* par = reinterpret_cast<AVVideoEncParams*>(sd->data);
                for (unsigned i = 0; i < par->nb_blocks; ++i) {
                    const AVVideoBlockParams* b = av_video_enc_params_block(par, i);
                    const int row = b->src_y / 16, col = b->src_x / 16;
                    if (row < mb_rows && col < mb_cols)
                        qp[static_cast<size_t>(row) * mb_cols + col] =
                            static_cast<int8_t>(std::clamp(par->qp + b->delta_qp, 0, 63));
                }
            }
            checksum += qp[qp.size() / 2];
            ++frames;
            av_frame_unref(frame);
        }
    };
    while (frames < limit && av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == stream && avcodec_send_packet(ctx, pkt) >= 0) take();
        av_packet_unref(pkt);
    }
    avcodec_send_packet(ctx, nullptr);
    take();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%d frames in %.3f s (%.1f fps), checksum %ld\n", frames, seconds, frames / seconds, checksum);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    avformat_close_input(&fmt);
    return 0;
}
