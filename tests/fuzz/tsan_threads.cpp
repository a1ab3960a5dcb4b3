// A threaded workload for ThreadSanitizer (scripts/tsan.sh):
//   - 4 threads share one session and ask it for random frames; the session
//     serialises the calls, and the records it hands out are read while other
//     threads' calls evict them from its cache;
//   - 4 threads each open sessions of their own (reopening one half-way) and
//     ask them for random frames at the same time.
// Every record is checked and all of its plane bytes are read.
//
// Usage: tsan_threads SHARED_FILE FILE...   (exit 0 when every check held)

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "session/h264_decoder_session.h"

namespace {

constexpr int kSharedThreads = 4;
constexpr int kOwnThreads = 4;
constexpr int kCallsPerThread = 40;

std::atomic<int> g_failures{0};
std::atomic<long> g_frames{0};
std::atomic<long> g_refusals{0};

void fail(const std::string& what) {
    std::fprintf(stderr, "tsan_threads: %s\n", what.c_str());
    ++g_failures;
}

// Reads every byte the record holds, as a frame query would.
uint64_t read_record(const CachedFrame& record) {
    uint64_t sum = 0;
    for (int p = 0; p < record.layout.num_planes; ++p) {
        for (uint8_t byte : record.planes[p]) sum += byte;
    }
    for (int8_t qp : record.qp_map) sum += static_cast<uint8_t>(qp);
    return sum;
}

void check_record(const CachedFrame& record, const std::string& where) {
    if (record.qp_map.size() != static_cast<size_t>(record.layout.mb_rows()) * record.layout.mb_cols())
        fail(where + ": qp_map size is not mb_rows * mb_cols");
    for (int p = 0; p < record.layout.num_planes; ++p) {
        if (record.linesize[p] > 0 &&
            record.planes[p].size() < static_cast<size_t>(record.linesize[p]) * record.layout.plane_height[p])
            fail(where + ": plane " + std::to_string(p) + " shorter than linesize * height");
    }
}

void ask_random_frames(H264DecoderSession& session, std::mt19937& rng, int calls,
                       const std::string& name) {
    if (session.num_frames() <= 0) return;
    std::uniform_int_distribution<int> pick(0, session.num_frames() - 1);
    volatile uint64_t sink = 0;
    for (int i = 0; i < calls; ++i) {
        const int idx = pick(rng);
        std::shared_ptr<CachedFrame> record;
        try {
            record = session.get_frame(idx);
        } catch (const std::exception&) {
            ++g_refusals;
            continue;
        }
        if (!record) {
            fail(name + ": no record for frame " + std::to_string(idx));
            continue;
        }
        check_record(*record, name + " frame " + std::to_string(idx));
        sink = sink + read_record(*record);
        ++g_frames;
    }
}

void shared_worker(H264DecoderSession* session, int id) {
    std::mt19937 rng(1000 + id);
    ask_random_frames(*session, rng, kCallsPerThread, "shared thread " + std::to_string(id));
}

void own_worker(const std::vector<std::string>* files, int id) {
    std::mt19937 rng(2000 + id);
    for (int round = 0; round < 2; ++round) {
        const std::string& path = (*files)[(id + round) % files->size()];
        try {
            H264DecoderSession session(path);
            ask_random_frames(session, rng, kCallsPerThread / 2,
                              "own thread " + std::to_string(id) + " (" + path + ")");
        } catch (const std::exception& error) {
            fail("own thread " + std::to_string(id) + ": cannot open " + path + ": " + error.what());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tsan_threads SHARED_FILE FILE...\n");
        return 2;
    }
    av_log_set_level(AV_LOG_QUIET);
    const std::vector<std::string> files(argv + 2, argv + argc);
    H264DecoderSession shared(argv[1]);

    std::vector<std::thread> threads;
    for (int i = 0; i < kSharedThreads; ++i) threads.emplace_back(shared_worker, &shared, i);
    for (int i = 0; i < kOwnThreads; ++i) threads.emplace_back(own_worker, &files, i);
    for (std::thread& thread : threads) thread.join();

    std::printf("tsan_threads: %ld records read, %ld requests refused, %d failed checks\n",
                g_frames.load(), g_refusals.load(), g_failures.load());
    return g_failures.load() == 0 && g_frames.load() > 0 ? 0 : 1;
}
