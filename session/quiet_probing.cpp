#include "quiet_probing.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace {

std::mutex level_mutex;
int probing = 0;
int level_after_probing = AV_LOG_INFO;

}  // namespace

QuietProbing::QuietProbing() {
    const std::lock_guard<std::mutex> lock(level_mutex);
    if (probing++ == 0) {
        level_after_probing = av_log_get_level();
        av_log_set_level(AV_LOG_FATAL);
    }
}

QuietProbing::~QuietProbing() {
    const std::lock_guard<std::mutex> lock(level_mutex);
    if (--probing == 0) av_log_set_level(level_after_probing);
}

void raise_ffmpeg_log_level(int level) {
    const std::lock_guard<std::mutex> lock(level_mutex);
    if (probing > 0) {
        if (level > level_after_probing) level_after_probing = level;
    } else if (level > av_log_get_level()) {
        av_log_set_level(level);
    }
}
