#pragma once

#include <cstdint>
#include <exception>
#include <memory>

extern "C" {
#include <libavformat/avio.h>
}

#include "byte_source.h"
#include "ffmpeg_ptrs.h"

// The AVIOContext through which a demuxer reads a ByteSource. Its position is
// its own, so several readers can share one source. A failure of the source
// inside a callback cannot cross FFmpeg's C frames: the callback returns an
// I/O error to FFmpeg and keeps the exception, which rethrow_failure() then
// throws to the caller in place of FFmpeg's error.
class AvioReader {
public:
    explicit AvioReader(std::shared_ptr<ByteSource> source);
    AvioReader(const AvioReader&) = delete;
    AvioReader& operator=(const AvioReader&) = delete;

    AVIOContext* context() const { return context_.get(); }
    const ByteSource& source() const { return *source_; }

    // Throws the first failure of the source since the last call, if any.
    void rethrow_failure();
    bool failed() const { return static_cast<bool>(failure_); }

    // What the source was asked for: requests made and bytes delivered.
    int64_t reads() const { return reads_; }
    int64_t bytes_read() const { return bytes_read_; }

private:
    static int read_packet(void* opaque, uint8_t* buffer, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);
    int64_t known_size();

    std::shared_ptr<ByteSource> source_;
    AvioContextPtr context_;
    int64_t position_ = 0;
    int64_t size_ = -1;
    std::exception_ptr failure_;
    int64_t reads_ = 0;
    int64_t bytes_read_ = 0;
};
