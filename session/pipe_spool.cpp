#include "pipe_spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::string system_error(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// An unlinked file in the temporary directory: gone with its descriptor.
int open_spool_file(const std::string& path) {
    const char* directory = std::getenv("TMPDIR");
    std::string name = std::string(directory != nullptr && *directory ? directory : "/tmp") +
                       "/mbgauge-spool-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) throw ByteSourceError(system_error("Cannot make a temporary file to read", path));
    unlink(name.c_str());
    return fd;
}

}  // namespace

std::shared_ptr<PipeSpool> PipeSpool::open_if_unseekable(
    const std::string& path, const std::function<bool()>& interrupted, const void* owner) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) ||
        S_ISDIR(st.st_mode))
        return nullptr;
    // The spools alive, by the pipe's device and inode. Never destroyed: a
    // thread may still be opening a session while the process exits.
    static auto* const registry_mutex = new std::mutex;
    static auto* const registry = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<PipeSpool>>;
    const std::pair<dev_t, ino_t> key{st.st_dev, st.st_ino};
    {
        const std::lock_guard<std::mutex> lock(*registry_mutex);
        for (auto entry = registry->begin(); entry != registry->end();)
            entry = entry->second.expired() ? registry->erase(entry) : std::next(entry);
        const auto found = registry->find(key);
        if (found != registry->end()) {
            if (std::shared_ptr<PipeSpool> alive = found->second.lock()) return alive;
        }
    }
    int input = -1;
    while ((input = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        // A FIFO without a writer blocks here; a signal cuts the wait short.
        if (errno != EINTR) return nullptr;
        if (interrupted && interrupted()) throw ByteSourceError("Interrupted: " + path);
    }
    std::shared_ptr<PipeSpool> made;
    try {
        const int spool = open_spool_file(path);
        try {
            made.reset(new PipeSpool(input, spool, path));
        } catch (...) {
            close(spool);
            throw;
        }
    } catch (...) {
        close(input);
        throw;
    }
    made->interrupted_ = interrupted;
    made->watcher_ = owner;
    made->watching_thread_ = std::this_thread::get_id();
    const std::lock_guard<std::mutex> lock(*registry_mutex);
    // Another thread may have opened the same pipe meanwhile: the first
    // spool registered is the one later sessions share.
    std::weak_ptr<PipeSpool>& entry = (*registry)[key];
    if (std::shared_ptr<PipeSpool> alive = entry.lock()) return alive;
    entry = made;
    return made;
}

PipeSpool::PipeSpool(int input, int spool, std::string path)
    : input_(input), spool_(spool), path_(std::move(path)) {}

PipeSpool::~PipeSpool() {
    close(input_);
    close(spool_);
}

void PipeSpool::unwatch(const void* owner) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (watcher_ != owner) return;
    interrupted_ = nullptr;
    watcher_ = nullptr;
}

void PipeSpool::spool_until(int64_t end) {
    std::vector<char> chunk;
    while (!ended_ && spooled_ < end) {
        chunk.resize(kReadSize);
        const ssize_t got = read(input_, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno != EINTR) throw ByteSourceError(system_error("Cannot read", path_));
            // Only the opening session's thread asks its own check; a read
            // for another session goes on waiting for the writer.
            if (interrupted_ && std::this_thread::get_id() == watching_thread_ && interrupted_())
                throw ByteSourceError("Interrupted: " + path_);
            continue;
        }
        if (got == 0) {
            ended_ = true;
            break;
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = pwrite(spool_, chunk.data() + written,
                                       static_cast<size_t>(got - written), spooled_ + written);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                // What was read and not kept is gone from the pipe: every
                // later read fails the same way rather than skip it.
                broken_ = system_error("Cannot keep what was read from", path_);
                throw ByteSourceError(broken_);
            }
            written += put;
        }
        spooled_ += got;
    }
}

size_t PipeSpool::read_at(int64_t offset, uint8_t* buffer, size_t size) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!broken_.empty()) throw ByteSourceError(broken_);
    spool_until(offset + static_cast<int64_t>(size));
    if (offset >= spooled_) return 0;
    const size_t available = static_cast<size_t>(spooled_ - offset);
    const size_t wanted = size < available ? size : available;
    for (size_t done = 0; done < wanted;) {
        const ssize_t got = pread(spool_, buffer + done, wanted - done,
                                  offset + static_cast<int64_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) throw ByteSourceError(system_error("Cannot read back what was read from", path_));
        done += static_cast<size_t>(got);
    }
    return wanted;
}

int64_t PipeSpool::size() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return ended_ ? spooled_ : -1;
}
