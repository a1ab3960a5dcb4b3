#pragma once

#include <string>

// FFmpeg's text for a negative error code, as av_strerror writes it.
std::string ffmpeg_error_string(int error_code);
