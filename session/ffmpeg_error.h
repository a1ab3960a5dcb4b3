#pragma once

#include <stdexcept>
#include <string>

// FFmpeg's text for a negative error code, as av_strerror writes it.
std::string ffmpeg_error_string(int error_code);

// The input could not be opened at all. Carries FFmpeg's error code, so that
// a missing or unreadable file (AVERROR(ENOENT), AVERROR(EACCES), ...) can be
// told from one that opens but is not a video.
class InputOpenError : public std::runtime_error {
public:
    InputOpenError(const std::string& message, int error_code)
        : std::runtime_error(message), error_code_(error_code) {}
    int error_code() const noexcept { return error_code_; }

private:
    int error_code_;
};
