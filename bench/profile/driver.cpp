// Decodes frames of a file through the session core alone (no Python), the
// way get_qpmap does, so that a profiler sees mbgauge's own costs next to
// FFmpeg's decoding.
//
//   driver FILE [FRAMES] [seq|random|stride:N] [copy]
//
// seq: frames 0 .. FRAMES-1 in order; random: FRAMES uniform random indices
// (fixed seed); stride:N: every N-th frame. With "copy" each QP map is also
// copied out as the Python binding does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "session/h264_decoder_session.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [FRAMES] [seq|random|stride:N] [copy]\n", argv[0]);
        return 2;
    }
    const auto t0 = std::chrono::steady_clock::now();
    H264DecoderSession session(argv[1]);
    const auto t1 = std::chrono::steady_clock::now();
    int frames = argc > 2 ? std::atoi(argv[2]) : session.num_frames;
    const std::string mode = argc > 3 ? argv[3] : "seq";
    const bool copy = argc > 4 && std::string(argv[4]) == "copy";

    std::vector<int> order;
    if (mode == "random") {
        std::mt19937 rng(1234);
        std::uniform_int_distribution<int> pick(0, session.num_frames - 1);
        for (int i = 0; i < frames; ++i) order.push_back(pick(rng));
    } else if (mode.rfind("stride:", 0) == 0) {
        const int stride = std::atoi(mode.c_str() + 7);
        for (int f = 0; f < session.num_frames && static_cast<int>(order.size()) < frames; f += stride)
            order.push_back(f);
    } else {
        for (int f = 0; f < frames && f < session.num_frames; ++f) order.push_back(f);
    }

    long checksum = 0;
    std::vector<int8_t> out;
    for (int f : order) {
        auto record = session.get_frame(f);
        if (copy) {
            out.resize(record->qp_map.size());
            std::memcpy(out.data(), record->qp_map.data(), out.size());
            checksum += out[out.size() / 2];
        } else {
            checksum += record->qp_map[record->qp_map.size() / 2];
        }
    }
    const auto t2 = std::chrono::steady_clock::now();
    const double open_s = std::chrono::duration<double>(t1 - t0).count();
    const double loop_s = std::chrono::duration<double>(t2 - t1).count();
    std::printf("open %.3f s, %zu frames in %.3f s (%.1f fps), checksum %ld\n", open_s, order.size(),
                loop_s, static_cast<double>(order.size()) / loop_s, checksum);
    return 0;
}
