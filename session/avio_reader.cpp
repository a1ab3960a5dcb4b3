#include "avio_reader.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

AvioReader::AvioReader(std::shared_ptr<ByteSource> source) : source_(std::move(source)) {
    size_ = source_->size();
    const size_t wanted = source_->read_size();
    const int buffer_size = static_cast<int>(
        std::min<size_t>(std::max<size_t>(wanted, 4096), std::numeric_limits<int>::max() / 2));
    auto* buffer = static_cast<unsigned char*>(av_malloc(static_cast<size_t>(buffer_size)));
    if (buffer == nullptr) throw std::bad_alloc();
    AVIOContext* context = avio_alloc_context(buffer, buffer_size, 0, this,
                                              &AvioReader::read_packet, nullptr,
                                              &AvioReader::seek);
    if (context == nullptr) {
        av_free(buffer);
        throw std::bad_alloc();
    }
    context_.reset(context);
    // Every read is a request: let the buffer refill by seeking within it
    // rather than reading the bytes skipped.
    context->seekable = AVIO_SEEKABLE_NORMAL;
}

void AvioReader::rethrow_failure() {
    if (!failure_) return;
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    std::rethrow_exception(failure);
}

int AvioReader::read_packet(void* opaque, uint8_t* buffer, int size) {
    auto* reader = static_cast<AvioReader*>(opaque);
    // After a failure the input is treated as broken: FFmpeg retries reads.
    if (reader->failure_) return AVERROR(EIO);
    if (size <= 0) return 0;
    try {
        const size_t got = reader->source_->read_at(reader->position_, buffer,
                                                    static_cast<size_t>(size));
        ++reader->reads_;
        if (got == 0) return AVERROR_EOF;
        reader->position_ += static_cast<int64_t>(got);
        reader->bytes_read_ += static_cast<int64_t>(got);
        return static_cast<int>(got);
    } catch (...) {
        reader->failure_ = std::current_exception();
        return AVERROR(EIO);
    }
}

int64_t AvioReader::known_size() {
    // A source read as it arrives (a pipe) learns its size at its end.
    if (size_ < 0) size_ = source_->size();
    return size_;
}

int64_t AvioReader::seek(void* opaque, int64_t offset, int whence) {
    auto* reader = static_cast<AvioReader*>(opaque);
    // Seeking only moves the position: the next read asks for it.
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return reader->known_size() >= 0 ? reader->size_ : AVERROR(ENOSYS);
    case SEEK_SET: break;
    case SEEK_CUR: offset += reader->position_; break;
    case SEEK_END:
        if (reader->known_size() < 0) return AVERROR(ENOSYS);
        offset += reader->size_;
        break;
    default: return AVERROR(EINVAL);
    }
    if (offset < 0) return AVERROR(EINVAL);
    reader->position_ = offset;
    return offset;
}
