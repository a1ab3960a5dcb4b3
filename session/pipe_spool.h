#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "byte_source.h"

// A pipe, FIFO or terminal named by a path (`/dev/stdin` under
// `cat clip.mp4 | ...`). Indexing and decoding seek back in the input, which
// such a path cannot do, so what is read from it is kept in an unlinked
// temporary file (in $TMPDIR, else /tmp) and read again from there. The input
// is read only as far as it is asked for: a stream that never ends is probed
// and refused like any other non-video, not copied whole. A pipe can be read
// only once: while one session holds its spool, another session of the same
// pipe in this process shares that spool.
class PipeSpool : public ByteSource {
public:
    // The spool of `path` when it names something that cannot seek, nullptr
    // for anything else (a regular file, a block device, a missing path:
    // FFmpeg opens and reports those itself). Opening a FIFO waits for its
    // writer; `interrupted` is asked meanwhile, and afterwards by reads on
    // this thread that wait for the writer, until unwatch(owner).
    static std::shared_ptr<PipeSpool> open_if_unseekable(const std::string& path,
                                                         const std::function<bool()>& interrupted,
                                                         const void* owner);
    ~PipeSpool() override;
    PipeSpool(const PipeSpool&) = delete;
    PipeSpool& operator=(const PipeSpool&) = delete;

    size_t read_at(int64_t offset, uint8_t* buffer, size_t size) override;
    // -1 until the input's end has been read.
    int64_t size() override;
    size_t read_size() const override { return kReadSize; }

    // A read blocked on the input asks `interrupted` whether to give up (a
    // signal arrived) while `owner` is opening its session; unwatch(owner)
    // ends that, and later reads wait for the writer.
    void unwatch(const void* owner);

private:
    PipeSpool(int input, int spool, std::string path);
    // Copies from the input until `end` bytes are spooled or the input ends.
    void spool_until(int64_t end);

    static constexpr size_t kReadSize = 256 * 1024;
    int input_;
    int spool_;
    std::string path_;
    std::function<bool()> interrupted_;
    const void* watcher_ = nullptr;
    std::thread::id watching_thread_;
    std::mutex mutex_;
    int64_t spooled_ = 0;
    bool ended_ = false;
    // Why the spool lost data (a full disk), once it has.
    std::string broken_;
};
