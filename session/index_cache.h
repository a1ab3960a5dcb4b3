#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "stream_index.h"

// What FFmpeg's probe (avformat_find_stream_info) found out about the chosen
// stream, which it learns by reading and decoding the first packets. It is
// kept with the stream's packet index, so that a reopen restores it instead
// of probing again.
struct ProbedStream {
    int32_t format = -1;
    int32_t width = 0;
    int32_t height = 0;
    int32_t video_delay = 0;
    int32_t field_order = 0;
    int32_t color_range = 0;
    int32_t color_primaries = 0;
    int32_t color_trc = 0;
    int32_t color_space = 0;
    int32_t chroma_location = 0;
    int32_t profile = 0;
    int32_t level = 0;
    int32_t bits_per_raw_sample = 0;
    int32_t extradata_size = 0;
    AVRational sample_aspect_ratio{0, 1};
    AVRational avg_frame_rate{0, 1};
    AVRational r_frame_rate{0, 1};
    int64_t start_time = 0;
    int64_t duration = 0;
    uint32_t stream_count = 0;

    static ProbedStream of(const AVFormatContext* fmt_ctx, int stream_idx);
    // Whether the opened, unprobed input looks as it did when this was
    // taken: the same streams, the same codec configuration.
    bool matches_header(const AVFormatContext* fmt_ctx, int stream_idx) const;
    void restore(AVFormatContext* fmt_ctx, int stream_idx) const;
};

// Packet indexes kept on disk between opens, so that reopening a file does
// not read it whole again. An entry is found by a key that names the exact
// content (a local file's path, size, modification time and inode; an
// object's URL and ETag or version) and the build that made the entry, and
// is used only when the key stored in it matches and its checksum holds: a
// changed file never gets a stale index, a damaged entry is ignored (and
// replaced by the next open). Entries are files written under a temporary
// name and renamed; the least recently used go when the cache outgrows its
// bound.
class IndexCache {
public:
    // Off: no directory.
    IndexCache() = default;
    IndexCache(std::string directory, int64_t max_bytes);

    // $MBGAUGE_INDEX_CACHE (a directory; "", "0", "off", "no", "false" turn
    // the cache off), else $XDG_CACHE_HOME/mbgauge/index, else
    // ~/.cache/mbgauge/index; bounded at kDefaultMaxBytes.
    static IndexCache from_environment();

    bool enabled() const { return !directory_.empty(); }
    const std::string& directory() const { return directory_; }

    // The key of stream `stream_idx` of the input that `identity` names, or
    // "" (nothing is cached) when the identity is empty.
    static std::string key_for(const std::string& identity, const AVFormatContext* fmt_ctx,
                               int stream_idx);

    // The index stored under `key`, or null; on a hit the demuxer's own
    // seek index of `stream` gets back the entries the scan gave it, and
    // `probed` what the probe of the first open found.
    std::shared_ptr<const StreamIndex> load(const std::string& key, AVStream* stream,
                                            ProbedStream* probed = nullptr) const;
    // Best effort: a cache that cannot be written is skipped silently.
    void store(const std::string& key, const StreamIndex& index, const AVStream* stream,
               const ProbedStream& probed) const;

    static constexpr int64_t kDefaultMaxBytes = int64_t{256} << 20;

private:
    std::string entry_path(const std::string& key) const;
    void evict_beyond_bound() const;

    std::string directory_;
    int64_t max_bytes_ = kDefaultMaxBytes;
};

// What identifies a local regular file's content: its resolved path, size,
// modification time in nanoseconds, device and inode; "" for anything else
// (a pipe, a device, a name that does not resolve).
std::string local_file_identity(const std::string& path);
