// libFuzzer target over the C++ session core, without Python.
//
// Each input is written to a temporary file (libavformat opens a path) and
// opened as a session. When that succeeds, three frames are fetched at
// positions read from the input's last bytes, then the last frame, and every
// plane of them is copied into a buffer with guard bytes the way the Python
// binding's copy_plane_to_ptr copies: plane_height rows of
// min(plane_width * bytes_per_sample, dst_stride, linesize) bytes, at
// dst_stride. A std::exception is an accepted outcome; a broken record, a
// guard byte overwritten or anything the sanitizers see is a finding.
//
// Built by tests/fuzz/build.sh with -fsanitize=fuzzer,address,undefined.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "session/h264_decoder_session.h"

namespace {

std::string g_input_path;
// MBGAUGE_FUZZ_VERBOSE=1: say what each input opened as and which frames came out.
bool g_verbose = false;

void remove_input_file() {
    if (!g_input_path.empty()) unlink(g_input_path.c_str());
}

[[noreturn]] void fail(const char* what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "fuzz_session: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

bool write_input(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(g_input_path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

// Bytes counted from the end of the input; 0 past its start.
struct Tail {
    const uint8_t* data;
    size_t size;
    unsigned operator[](size_t from_end) const {
        return from_end < size ? data[size - 1 - from_end] : 0u;
    }
};

// What the binding relies on in a record it is handed.
void check_record(const CachedFrame& record) {
    if (record.layout.num_planes < 0 || record.layout.num_planes > kMaxCachedPlanes)
        fail("num_planes out of range", record.layout.num_planes);
    if (record.layout.bytes_per_sample != 1 && record.layout.bytes_per_sample != 2)
        fail("bytes_per_sample neither 1 nor 2", record.layout.bytes_per_sample);
    if (record.layout.mb_rows() < 0 || record.layout.mb_cols() < 0) fail("negative macroblock grid", record.layout.mb_rows(), record.layout.mb_cols());
    // get_qpmap copies qp_map.size() bytes into a mb_rows x mb_cols array.
    const size_t cells = static_cast<size_t>(record.layout.mb_rows()) * static_cast<size_t>(record.layout.mb_cols());
    if (record.qp_map.size() != cells) fail("qp_map size is not mb_rows * mb_cols", record.qp_map.size(), cells);
    for (int8_t qp : record.qp_map) {
        if (qp < -1) fail("qp below -1", qp);
        if (record.qp_cell_fit != QpCellFit::kFits && qp != -1)
            fail("a map that does not fit holds a value", qp);
    }
    for (const QpBlock& block : record.qp_blocks) {
        if (block.w <= 0 || block.h <= 0) fail("a QP block without size", block.w, block.h);
    }
}

// copy_plane_to_ptr's copy, into a buffer fenced by guard bytes.
void copy_plane_like_binding(const CachedFrame& record, int plane, unsigned stride_choice) {
    const int rows = record.layout.plane_height[plane];
    const int src_stride = record.linesize[plane];
    const int visible = record.layout.plane_width[plane] * record.layout.bytes_per_sample;
    int dst_stride = 0;
    switch (stride_choice % 4) {
    case 0: dst_stride = visible; break;                                      // tight
    case 1: dst_stride = visible + static_cast<int>(stride_choice >> 2); break;  // wider
    case 2: dst_stride = std::max(0, visible - 1 - static_cast<int>(stride_choice >> 2)); break;  // narrower
    default: dst_stride = std::max(0, src_stride) + static_cast<int>(stride_choice >> 2); break;
    }
    const int row_bytes = std::min({visible, dst_stride, src_stride});
    if (rows <= 0 || row_bytes <= 0) return;

    const std::vector<uint8_t>& source = record.planes[plane];
    const size_t last_read = static_cast<size_t>(rows - 1) * static_cast<size_t>(src_stride) +
                             static_cast<size_t>(row_bytes);
    if (last_read > source.size()) fail("plane copy would read past the plane", last_read, source.size());

    constexpr size_t kGuard = 64;
    constexpr uint8_t kGuardByte = 0xA5;
    const size_t body = static_cast<size_t>(rows) * static_cast<size_t>(dst_stride);
    std::vector<uint8_t> buffer(kGuard + body + kGuard, kGuardByte);
    uint8_t* dst = buffer.data() + kGuard;
    const uint8_t* src = source.data();
    for (int r = 0; r < rows; ++r) {
        std::memcpy(dst + static_cast<ptrdiff_t>(r) * dst_stride,
                    src + static_cast<ptrdiff_t>(r) * src_stride, static_cast<size_t>(row_bytes));
    }
    for (size_t i = 0; i < kGuard; ++i) {
        if (buffer[i] != kGuardByte) fail("guard byte before the plane copy overwritten", static_cast<long long>(i));
        if (buffer[kGuard + body + i] != kGuardByte)
            fail("guard byte after the plane copy overwritten", static_cast<long long>(i));
    }
}

void exercise(const uint8_t* data, size_t size) {
    // Inputs of odd length also export motion vectors.
    H264DecoderSession session(g_input_path, nullptr, size % 2 == 1);
    const int frames = session.num_frames();
    if (g_verbose)
        std::fprintf(stderr, "opened: %dx%d %s, %d frames\n", session.width(), session.height(),
                     session.pix_fmt().c_str(), frames);
    if (frames < 0) fail("negative num_frames", frames);
    if (static_cast<int>(session.index().seek_packet.size()) != frames ||
        static_cast<int>(session.index().frame_packet.size()) != frames ||
        static_cast<int>(session.index().display_pts.size()) != frames)
        fail("frame tables disagree with num_frames", frames, static_cast<long long>(session.index().seek_packet.size()));

    // An index just past the end is refused as out of range.
    try {
        session.get_frame(frames);
        fail("get_frame(num_frames) returned a frame", frames);
    } catch (const std::out_of_range&) {
    }

    if (frames == 0) return;
    const Tail tail{data, size};
    // Three frames chosen by the input, then the last one, which is reached
    // by draining the decoder at the end of the input.
    constexpr int kCalls = 4;
    for (int call = 0; call < kCalls; ++call) {
        const unsigned position = tail[2 * call] | (tail[2 * call + 1] << 8);
        const int frame_idx = call == kCalls - 1
                                  ? frames - 1
                                  : static_cast<int>(position % static_cast<unsigned>(frames));
        std::shared_ptr<CachedFrame> record;
        try {
            record = session.get_frame(frame_idx);
        } catch (const std::exception& error) {
            if (g_verbose) std::fprintf(stderr, "frame %d: %s\n", frame_idx, error.what());
            continue;
        }
        if (!record) fail("get_frame returned no record", frame_idx);
        if (g_verbose)
            std::fprintf(stderr, "frame %d: %s, %d planes, linesize %d/%d/%d\n", frame_idx,
                         record->pix_fmt.c_str(), record->layout.num_planes, record->linesize[0],
                         record->linesize[1], record->linesize[2]);
        check_record(*record);
        for (int plane = 0; plane < record->layout.num_planes; ++plane)
            copy_plane_like_binding(*record, plane, tail[8 + call] + 7u * plane);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    av_log_set_level(AV_LOG_QUIET);
    const char* verbose = std::getenv("MBGAUGE_FUZZ_VERBOSE");
    g_verbose = verbose != nullptr && std::strcmp(verbose, "1") == 0;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mbgauge-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        std::perror("fuzz_session: mkstemp");
        std::abort();
    }
    close(fd);
    g_input_path = name.data();
    std::atexit(remove_input_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_input(data, size)) {
        std::perror("fuzz_session: writing the input file");
        std::abort();
    }
    try {
        exercise(data, size);
    } catch (const std::exception& error) {
        // Refusing a file or a frame with an exception is what the session promises.
        if (g_verbose) std::fprintf(stderr, "refused: %s\n", error.what());
    }
    return 0;
}
