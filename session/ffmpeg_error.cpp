#include "ffmpeg_error.h"

extern "C" {
#include <libavutil/error.h>
}

std::string ffmpeg_error_string(int error_code) {
    char text[64] = {};
    av_strerror(error_code, text, sizeof(text));
    return std::string(text);
}
