#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

// True for a video stream that carries moving pictures: cover art (an MP4 or
// MOV `covr`, a Matroska image attachment, an ID3 picture) and timed
// thumbnails are video streams too, but hold one still picture each.
bool is_moving_picture_stream(const AVStream* stream);

// Index of the first moving-picture video stream, or -1 when there is none.
int choose_video_stream(const AVFormatContext* format);
