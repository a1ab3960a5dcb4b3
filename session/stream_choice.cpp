#include "stream_choice.h"

bool is_moving_picture_stream(const AVStream* stream) {
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) return false;
    return (stream->disposition & (AV_DISPOSITION_ATTACHED_PIC | AV_DISPOSITION_TIMED_THUMBNAILS)) == 0;
}

int choose_video_stream(const AVFormatContext* format) {
    for (unsigned int i = 0; i < format->nb_streams; ++i) {
        if (is_moving_picture_stream(format->streams[i])) return static_cast<int>(i);
    }
    return -1;
}
