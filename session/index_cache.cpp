#include "index_cache.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace fs = std::filesystem;

namespace {

// Bumped whenever the layout below changes.
constexpr uint32_t kFormatVersion = 5;
constexpr char kMagic[8] = {'M', 'B', 'G', 'I', 'D', 'X', '\r', '\n'};

// The serialiser below writes every member; a new member must be added there
// (and kFormatVersion bumped) before these sizes are updated.
#if defined(__GLIBCXX__) && defined(__x86_64__)
static_assert(sizeof(PacketRecord) == 72, "PacketRecord changed: update index_cache.cpp");
static_assert(sizeof(StreamIndex) == 240, "StreamIndex changed: update index_cache.cpp");
#endif

// FNV-1a, taken eight bytes at a time where it can (an entry's payload is
// megabytes, read at every reopen). Each step is a bijection of the hash, so
// any one damaged word changes the result.
uint64_t fnv1a(const char* data, size_t size) {
    constexpr uint64_t kPrime = 0x100000001b3ULL;
    uint64_t hash = 0xcbf29ce484222325ULL;
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= size; i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        hash = (hash ^ word) * kPrime;
    }
    for (; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * kPrime;
    return hash;
}

std::string hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// Fixed-size values in the machine's byte order: an entry never leaves the
// machine that wrote it (and the magic's check fails on another order).
class Writer {
public:
    template <typename T>
    void put(T value) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    template <typename T>
    void put_vector(const std::vector<T>& values) {
        put<uint64_t>(values.size());
        for (const T& value : values) put(value);
    }
    void put_bytes(const std::string& text) {
        put<uint64_t>(text.size());
        bytes_.append(text);
    }
    std::string& bytes() { return bytes_; }

private:
    std::string bytes_;
};

class Reader {
public:
    Reader(const char* data, size_t size) : data_(data), left_(size) {}
    template <typename T>
    T get() {
        T value;
        take(&value, sizeof value);
        return value;
    }
    // A count of items of `item_size` bytes each that the rest can hold.
    size_t get_count(size_t item_size) {
        const auto count = get<uint64_t>();
        if (item_size != 0 && count > left_ / item_size) throw std::out_of_range("count");
        return static_cast<size_t>(count);
    }
    template <typename T>
    std::vector<T> get_vector() {
        std::vector<T> values(get_count(sizeof(T)));
        for (T& value : values) value = get<T>();
        return values;
    }
    std::string get_bytes() {
        std::string text(get_count(1), '\0');
        take(text.data(), text.size());
        return text;
    }
    // The next counted bytes where they lie, uncopied.
    std::pair<const char*, size_t> get_view() {
        const size_t size = get_count(1);
        const char* start = data_;
        data_ += size;
        left_ -= size;
        return {start, size};
    }
    bool at_end() const { return left_ == 0; }

private:
    void take(void* out, size_t size) {
        if (size > left_) throw std::out_of_range("truncated");
        std::memcpy(out, data_, size);
        data_ += size;
        left_ -= size;
    }
    const char* data_;
    size_t left_;
};

void write_packet(Writer& out, const PacketRecord& p) {
    out.put(p.pts);
    out.put(p.dts);
    out.put(p.pos);
    out.put(p.size);
    out.put<uint8_t>(p.is_key);
    out.put(p.decode_idx);
    out.put<uint8_t>(p.discard);
    out.put(p.timestamp_shift);
    out.put(p.container_pts);
    out.put(p.pict_type);
    out.put(p.width);
    out.put(p.height);
    out.put<uint8_t>(p.cut_short);
}

PacketRecord read_packet(Reader& in) {
    PacketRecord p{};
    p.pts = in.get<int64_t>();
    p.dts = in.get<int64_t>();
    p.pos = in.get<int64_t>();
    p.size = in.get<int32_t>();
    p.is_key = in.get<uint8_t>() != 0;
    p.decode_idx = in.get<int32_t>();
    p.discard = in.get<uint8_t>() != 0;
    p.timestamp_shift = in.get<int64_t>();
    p.container_pts = in.get<int64_t>();
    p.pict_type = in.get<char>();
    p.width = in.get<int32_t>();
    p.height = in.get<int32_t>();
    p.cut_short = in.get<uint8_t>() != 0;
    return p;
}

// One entry of a demuxer's seek index, as av_add_index_entry takes it.
struct SeekEntry {
    int64_t pos;
    int64_t timestamp;
    int32_t size;
    int32_t distance;
    int32_t flags;
};

void write_probed(Writer& out, const ProbedStream& p) {
    for (const int32_t value :
         {p.format, p.width, p.height, p.video_delay, p.field_order, p.color_range,
          p.color_primaries, p.color_trc, p.color_space, p.chroma_location, p.profile, p.level,
          p.bits_per_raw_sample, p.extradata_size})
        out.put(value);
    for (const AVRational value : {p.sample_aspect_ratio, p.avg_frame_rate, p.r_frame_rate}) {
        out.put<int32_t>(value.num);
        out.put<int32_t>(value.den);
    }
    out.put(p.start_time);
    out.put(p.duration);
    out.put(p.stream_count);
}

ProbedStream read_probed(Reader& in) {
    ProbedStream p;
    for (int32_t* value :
         {&p.format, &p.width, &p.height, &p.video_delay, &p.field_order, &p.color_range,
          &p.color_primaries, &p.color_trc, &p.color_space, &p.chroma_location, &p.profile,
          &p.level, &p.bits_per_raw_sample, &p.extradata_size})
        *value = in.get<int32_t>();
    for (AVRational* value : {&p.sample_aspect_ratio, &p.avg_frame_rate, &p.r_frame_rate}) {
        value->num = in.get<int32_t>();
        value->den = in.get<int32_t>();
    }
    p.start_time = in.get<int64_t>();
    p.duration = in.get<int64_t>();
    p.stream_count = in.get<uint32_t>();
    return p;
}

std::string serialise(const StreamIndex& index, const AVStream* stream,
                      const ProbedStream& probed) {
    Writer out;
    write_probed(out, probed);
    out.put<uint64_t>(index.packets.size());
    for (const PacketRecord& packet : index.packets) write_packet(out, packet);
    out.put_vector(index.display_pts);
    out.put_vector(index.seek_pts);
    out.put<uint64_t>(index.pts_to_idx.size());
    for (const auto& [pts, idx] : index.pts_to_idx) {
        out.put(pts);
        out.put(idx);
    }
    out.put_vector(index.seek_packet);
    out.put_vector(index.frame_packet);
    out.put<uint8_t>(index.synthetic_pts);
    out.put(index.recording_count);
    out.put<uint64_t>(index.parameter_set_packets.size());
    for (const std::vector<uint8_t>& packet : index.parameter_set_packets)
        out.put_bytes(std::string(packet.begin(), packet.end()));
    out.put_vector(index.parameter_sets_at);

    std::vector<SeekEntry> entries;
    const int count = avformat_index_get_entries_count(stream);
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(const_cast<AVStream*>(stream), i);
        if (entry != nullptr)
            entries.push_back(SeekEntry{entry->pos, entry->timestamp, entry->size,
                                        entry->min_distance, entry->flags});
    }
    out.put<uint64_t>(entries.size());
    for (const SeekEntry& entry : entries) {
        // Field by field: the struct's padding holds no defined bytes.
        out.put(entry.pos);
        out.put(entry.timestamp);
        out.put(entry.size);
        out.put(entry.distance);
        out.put(entry.flags);
    }
    return std::move(out.bytes());
}

std::shared_ptr<StreamIndex> deserialise(Reader& in, std::vector<SeekEntry>& entries,
                                         ProbedStream& probed) {
    probed = read_probed(in);
    auto index = std::make_shared<StreamIndex>();
    const size_t packet_count = in.get_count(1);
    index->packets.reserve(packet_count);
    for (size_t i = 0; i < packet_count; ++i) index->packets.push_back(read_packet(in));
    index->display_pts = in.get_vector<int64_t>();
    index->seek_pts = in.get_vector<int64_t>();
    const size_t map_size = in.get_count(sizeof(int64_t) + sizeof(int));
    index->pts_to_idx.reserve(map_size);
    for (size_t i = 0; i < map_size; ++i) {
        const auto pts = in.get<int64_t>();
        if (!index->pts_to_idx.append(pts, in.get<int>())) throw std::out_of_range("pts order");
    }
    index->seek_packet = in.get_vector<int>();
    index->frame_packet = in.get_vector<int>();
    index->synthetic_pts = in.get<uint8_t>() != 0;
    index->recording_count = in.get<int>();
    const size_t set_count = in.get_count(sizeof(uint64_t));
    for (size_t i = 0; i < set_count; ++i) {
        const std::string packet = in.get_bytes();
        index->parameter_set_packets.emplace_back(packet.begin(), packet.end());
    }
    index->parameter_sets_at = in.get_vector<int>();
    entries.resize(in.get_count(2 * sizeof(int64_t) + 3 * sizeof(int32_t)));
    for (SeekEntry& entry : entries) {
        entry.pos = in.get<int64_t>();
        entry.timestamp = in.get<int64_t>();
        entry.size = in.get<int32_t>();
        entry.distance = in.get<int32_t>();
        entry.flags = in.get<int32_t>();
    }
    if (!in.at_end()) throw std::out_of_range("trailing bytes");

    // What the session relies on: a frame table consistent with the packets.
    const size_t frames = index->display_pts.size();
    const auto packet_total = static_cast<int>(index->packets.size());
    const auto in_packets = [packet_total](int i) { return i >= 0 && i < packet_total; };
    if (frames == 0 || index->seek_pts.size() != frames || index->pts_to_idx.size() != frames ||
        index->seek_packet.size() != frames || index->frame_packet.size() != frames ||
        !std::all_of(index->seek_packet.begin(), index->seek_packet.end(), in_packets) ||
        !std::all_of(index->frame_packet.begin(), index->frame_packet.end(), in_packets))
        throw std::out_of_range("inconsistent tables");
    // Derived from the tables above, so not stored.
    mark_restart_points(*index);
    return index;
}

// The shared object this code was linked into (the extension module, a test
// program): its size and modification time tell one build from another, so
// that an entry made by other indexing code is never used.
const std::string& build_identity() {
    static const std::string identity = [] {
        Dl_info info{};
        struct stat st {};
        if (dladdr(reinterpret_cast<void*>(&fnv1a), &info) == 0 || info.dli_fname == nullptr ||
            stat(info.dli_fname, &st) != 0)
            return std::string("unknown build");
        return std::string(info.dli_fname) + ":" + std::to_string(st.st_size) + ":" +
               std::to_string(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                              st.st_mtim.tv_nsec);
    }();
    return identity;
}

bool turned_off(const char* value) {
    std::string text(value);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.empty() || text == "0" || text == "off" || text == "no" || text == "false";
}

}  // namespace

ProbedStream ProbedStream::of(const AVFormatContext* fmt_ctx, int stream_idx) {
    const AVStream* stream = fmt_ctx->streams[stream_idx];
    const AVCodecParameters* params = stream->codecpar;
    ProbedStream p;
    p.format = params->format;
    p.width = params->width;
    p.height = params->height;
    p.video_delay = params->video_delay;
    p.field_order = params->field_order;
    p.color_range = params->color_range;
    p.color_primaries = params->color_primaries;
    p.color_trc = params->color_trc;
    p.color_space = params->color_space;
    p.chroma_location = params->chroma_location;
    p.profile = params->profile;
    p.level = params->level;
    p.bits_per_raw_sample = params->bits_per_raw_sample;
    p.extradata_size = params->extradata_size;
    p.sample_aspect_ratio = params->sample_aspect_ratio;
    p.avg_frame_rate = stream->avg_frame_rate;
    p.r_frame_rate = stream->r_frame_rate;
    p.start_time = stream->start_time;
    p.duration = stream->duration;
    p.stream_count = fmt_ctx->nb_streams;
    return p;
}

bool ProbedStream::matches_header(const AVFormatContext* fmt_ctx, int stream_idx) const {
    // A demuxer that finds streams while reading packets (MPEG-TS) has no
    // final stream list before the probe; a stream whose configuration the
    // probe took from its packets (raw streams) is not yet configured.
    return (fmt_ctx->ctx_flags & AVFMTCTX_NOHEADER) == 0 && fmt_ctx->nb_streams == stream_count &&
           fmt_ctx->streams[stream_idx]->codecpar->extradata_size == extradata_size;
}

void ProbedStream::restore(AVFormatContext* fmt_ctx, int stream_idx) const {
    AVStream* stream = fmt_ctx->streams[stream_idx];
    AVCodecParameters* params = stream->codecpar;
    params->format = format;
    params->width = width;
    params->height = height;
    params->video_delay = video_delay;
    params->field_order = static_cast<AVFieldOrder>(field_order);
    params->color_range = static_cast<AVColorRange>(color_range);
    params->color_primaries = static_cast<AVColorPrimaries>(color_primaries);
    params->color_trc = static_cast<AVColorTransferCharacteristic>(color_trc);
    params->color_space = static_cast<AVColorSpace>(color_space);
    params->chroma_location = static_cast<AVChromaLocation>(chroma_location);
    params->profile = profile;
    params->level = level;
    params->bits_per_raw_sample = bits_per_raw_sample;
    params->sample_aspect_ratio = sample_aspect_ratio;
    stream->avg_frame_rate = avg_frame_rate;
    stream->r_frame_rate = r_frame_rate;
    stream->start_time = start_time;
    stream->duration = duration;
}

IndexCache::IndexCache(std::string directory, int64_t max_bytes)
    : directory_(std::move(directory)), max_bytes_(max_bytes) {}

IndexCache IndexCache::from_environment() {
    if (const char* chosen = std::getenv("MBGAUGE_INDEX_CACHE"); chosen != nullptr) {
        if (turned_off(chosen)) return IndexCache();
        return IndexCache(chosen, kDefaultMaxBytes);
    }
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return IndexCache(std::string(xdg) + "/mbgauge/index",
                                                           kDefaultMaxBytes);
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return IndexCache();
    return IndexCache(std::string(home) + "/.cache/mbgauge/index", kDefaultMaxBytes);
}

std::string IndexCache::key_for(const std::string& identity, const AVFormatContext* fmt_ctx,
                                int stream_idx) {
    if (identity.empty()) return {};
    std::ostringstream key;
    key << "format " << kFormatVersion << "\nbuild " << build_identity() << "\nlibavformat "
        << avformat_version() << "\nlibavcodec " << avcodec_version() << "\ndemuxer "
        << fmt_ctx->iformat->name << "\nstream " << stream_idx << "\ninput " << identity;
    return key.str();
}

std::string IndexCache::entry_path(const std::string& key) const {
    return directory_ + "/" + hex(fnv1a(key.data(), key.size())) + ".idx";
}

std::shared_ptr<const StreamIndex> IndexCache::load(const std::string& key, AVStream* stream,
                                                    ProbedStream* probed) const {
    if (!enabled() || key.empty()) return nullptr;
    const std::string path = entry_path(key);
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return nullptr;
    const std::streamoff length = file.tellg();
    if (length <= 0) return nullptr;
    // Left uninitialised: the read fills it.
    const std::unique_ptr<char[]> bytes(new char[static_cast<size_t>(length)]);
    file.seekg(0);
    if (!file.read(bytes.get(), length)) return nullptr;
    try {
        Reader header(bytes.get(), static_cast<size_t>(length));
        char magic[sizeof kMagic];
        for (char& c : magic) c = header.get<char>();
        if (std::memcmp(magic, kMagic, sizeof kMagic) != 0) return nullptr;
        if (header.get<uint32_t>() != kFormatVersion) return nullptr;
        if (header.get_bytes() != key) return nullptr;
        const auto [payload, payload_size] = header.get_view();
        const auto checksum = header.get<uint64_t>();
        if (!header.at_end() || checksum != fnv1a(payload, payload_size)) return nullptr;
        Reader in(payload, payload_size);
        std::vector<SeekEntry> entries;
        ProbedStream found;
        std::shared_ptr<StreamIndex> index = deserialise(in, entries, found);
        if (probed != nullptr) *probed = found;
        // Demuxers that index every packet from the file's header (MP4) have
        // them all already; the others get what the scan added.
        if (avformat_index_get_entries_count(stream) < static_cast<int>(entries.size())) {
            for (const SeekEntry& entry : entries)
                av_add_index_entry(stream, entry.pos, entry.timestamp, entry.size,
                                   entry.distance, entry.flags);
        }
        // Recently used: eviction goes by modification time.
        std::error_code ignored;
        fs::last_write_time(path, fs::file_time_type::clock::now(), ignored);
        return index;
    } catch (const std::out_of_range&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

void IndexCache::store(const std::string& key, const StreamIndex& index, const AVStream* stream,
                       const ProbedStream& probed) const {
    if (!enabled() || key.empty()) return;
    const std::string payload = serialise(index, stream, probed);
    Writer out;
    for (char c : kMagic) out.put(c);
    out.put(kFormatVersion);
    out.put_bytes(key);
    out.put_bytes(payload);
    out.put(fnv1a(payload.data(), payload.size()));

    std::error_code error;
    fs::create_directories(directory_, error);
    if (error) return;
    static std::atomic<unsigned> serial{0};
    const std::string path = entry_path(key);
    const std::string temporary = path + "." + std::to_string(getpid()) + "." +
                                  std::to_string(serial.fetch_add(1)) + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(out.bytes().data(), static_cast<std::streamsize>(out.bytes().size()));
        if (!file.flush()) {
            file.close();
            fs::remove(temporary, error);
            return;
        }
    }
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        return;
    }
    evict_beyond_bound();
}

void IndexCache::evict_beyond_bound() const {
    struct Entry {
        fs::file_time_type used;
        int64_t size;
        fs::path path;
    };
    std::vector<Entry> entries;
    int64_t total = 0;
    std::error_code error;
    for (fs::directory_iterator it(directory_, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().extension() != ".idx") continue;
        std::error_code stat_error;
        const auto size = static_cast<int64_t>(it->file_size(stat_error));
        const fs::file_time_type used = it->last_write_time(stat_error);
        if (stat_error) continue;
        entries.push_back(Entry{used, size, it->path()});
        total += size;
    }
    if (total <= max_bytes_) return;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.used < b.used; });
    // Down to three quarters of the bound, so that the next store does not
    // evict again at once.
    for (const Entry& entry : entries) {
        if (total <= max_bytes_ / 4 * 3) break;
        std::error_code remove_error;
        if (fs::remove(entry.path, remove_error)) total -= entry.size;
    }
}

std::string local_file_identity(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return {};
    const std::string full(resolved);
    std::free(resolved);
    struct stat st {};
    if (stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return "file " + full + "\nsize " + std::to_string(st.st_size) + "\nmtime_ns " +
           std::to_string(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                          st.st_mtim.tv_nsec) +
           "\ndevice " + std::to_string(st.st_dev) + "\ninode " + std::to_string(st.st_ino);
}
