// Opens, queries and closes sessions in a loop, and fails to open a few
// files, so that valgrind can look for memory that is never freed.
//
// Usage: leak_driver CYCLES VIDEO MISSING_PATH
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "session/h264_decoder_session.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: leak_driver CYCLES VIDEO MISSING_PATH\n";
        return 2;
    }
    av_log_set_level(AV_LOG_QUIET);
    const int cycles = std::atoi(argv[1]);
    std::shared_ptr<CachedFrame> kept;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        {
            H264DecoderSession session(argv[2]);
            for (int frame : {0, session.num_frames() / 2, session.num_frames() - 1, 1})
                kept = session.get_frame(frame);
            try {
                session.get_frame(session.num_frames());
            } catch (const std::out_of_range&) {
            }
        }
        for (const char* bad : {argv[3], argv[0]}) {
            try {
                H264DecoderSession session(bad);
            } catch (const std::runtime_error&) {
            }
        }
    }
    // A record handed out outlives its session.
    return kept && kept->qp_map.size() == static_cast<size_t>(kept->layout.mb_rows() * kept->layout.mb_cols()) ? 0 : 1;
}
