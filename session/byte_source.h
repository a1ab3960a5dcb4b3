#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// Bytes of an input that is not a local path (a file object, an object in a
// store), read at an offset. A session reads it through one AVIOContext per
// decoding cursor, each keeping its own position, so an implementation must
// do each read_at as one step (seek and read together) and may be called
// from several threads, one call at a time or concurrently.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Copies up to `size` bytes from `offset` into `buffer` and returns how
    // many it copied: 0 only at the end of the input. Throws on failure.
    virtual size_t read_at(int64_t offset, uint8_t* buffer, size_t size) = 0;
    // The input's length in bytes, or -1 when it is not known.
    virtual int64_t size() = 0;
    // How many bytes FFmpeg asks for per read: each read may be a round trip.
    virtual size_t read_size() const = 0;
    // What identifies this exact content (a URL with its ETag or version,
    // say) for the packet index cache; empty when nothing does, which keeps
    // the index of this input out of the cache.
    virtual std::string identity() const { return {}; }
};

// A read of a ByteSource failed (a connection dropped, a file object
// raised); the message says where and why.
class ByteSourceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
