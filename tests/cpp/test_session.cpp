// The decoding session on real files, observed through its public state:
// the packet index built at construction, the frame cache, the seek rule and
// the lifetime of the records it hands out.
//
// Usage: test_session [--list] [--run NAME] KEY=PATH ...
// The files (made by tests/test_native_core.py) are:
//   bframes    libx264 defaults (B-frames), -bf 3 -g 24, 128x96, 100 frames, mp4
//   longgop    one key group: -g 1000 -bf 0, 64x64, 500 frames, mp4
//   gop10      a key frame every 10 frames, -bf 0, 64x64, 40 frames, mp4
//   av         50 video frames (libx264) interleaved with AAC audio, mp4
//   videoonly  the video stream of `av`, stream-copied alone into an mp4
//   oddsize    the mpeg4 encoder (MPEG-4 video), yuv420p, 1281x721, 3 frames, avi
//   gop50      a key frame every 50 frames, -bf 2, 64x64, 600 frames, mp4

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/version.h>
}

#include "tests/cpp/check.h"
#include "session/h264_decoder_session.h"

namespace {

// ---- inputs ----------------------------------------------------------------

std::map<std::string, std::string> g_files;

std::string file(const std::string& key) {
    const auto found = g_files.find(key);
    if (found == g_files.end()) throw std::runtime_error("no file given for " + key + "=PATH");
    return found->second;
}

std::unique_ptr<H264DecoderSession> open(const std::string& key) {
    return std::make_unique<H264DecoderSession>(file(key));
}

// ---- observations ----------------------------------------------------------

// How many pictures the decoder has handed out since it was opened. FFmpeg
// counts them itself and does not reset the count on a flush, so the
// difference across one get_frame call is the number of pictures that call
// decoded. That is what tells a forward decode from a seek when both leave
// the same cache behind: after a seek the decoder restarts at the key frame
// and re-decodes every picture up to the requested one.
int64_t pictures_decoded(const H264DecoderSession& session) {
    return session.cursor().pictures_decoded();
}

// The cached frames in insertion order, which is the eviction order.
std::deque<int> cache_order(const H264DecoderSession& session) {
    const std::vector<int> order = session.cached_frames();
    return {order.begin(), order.end()};
}

// Every frame index the cache holds a record for, asked frame by frame.
std::set<int> cached_indices(const H264DecoderSession& session) {
    std::set<int> out;
    for (int idx = 0; idx < session.num_frames(); ++idx)
        if (session.cached_frame(idx) != nullptr) out.insert(idx);
    return out;
}

std::set<int> index_range(int first, int last_inclusive) {
    std::set<int> out;
    for (int i = first; i <= last_inclusive; ++i) out.insert(i);
    return out;
}

std::deque<int> order_range(int first, int last_inclusive) {
    std::deque<int> out;
    for (int i = first; i <= last_inclusive; ++i) out.push_back(i);
    return out;
}

// What must hold between any two calls: the cache and its insertion order
// name the same indices, within capacity, and every cached record is the
// picture its index names.
void check_cache_consistent(const H264DecoderSession& session, const char* file, int line) {
    const std::vector<int> order = session.cached_frames();
    const std::set<int> ordered(order.begin(), order.end());
    check::check_eq(ordered.size(), order.size(), "distinct cached_frames() entries",
             "cached_frames().size()", file, line);
    check::check_eq(ordered, cached_indices(session), "cached_frames() indices",
             "indices with a cached_frame()", file, line);
    check::check_true(order.size() <= H264DecoderSession::kCacheCapacity,
               "cached_frames().size() <= kCacheCapacity", file, line);
    for (const int idx : order) {
        const std::shared_ptr<const CachedFrame> record = session.cached_frame(idx);
        check::check_true(record != nullptr, "cached record is not null", file, line);
        if (record == nullptr || idx < 0 || idx >= session.num_frames()) continue;
        check::check_eq(record->pts, session.index().display_pts[static_cast<size_t>(idx)], "cached record->pts",
                 "display_pts[idx]", file, line);
    }
}
#define CHECK_CACHE_CONSISTENT(session) check_cache_consistent((session), __FILE__, __LINE__)

// The sizes of a record agree with each other.
void check_record_shape(const CachedFrame& record, const char* file, int line) {
    check::check_true(record.layout.num_planes >= 1 && record.layout.num_planes <= kMaxCachedPlanes,
               "1 <= num_planes <= kMaxCachedPlanes", file, line);
    for (int i = 0; i < record.layout.num_planes; ++i) {
        check::check_eq(record.planes[i].size(),
                 static_cast<size_t>(record.linesize[i]) * static_cast<size_t>(record.layout.plane_height[i]),
                 "planes[i].size()", "linesize[i] * plane_height[i]", file, line);
        check::check_true(record.linesize[i] >= record.layout.plane_width[i] * record.layout.bytes_per_sample,
                   "linesize[i] >= plane_width[i] * bytes_per_sample", file, line);
    }
    check::check_eq(record.qp_map.size(),
             static_cast<size_t>(record.layout.mb_rows()) * static_cast<size_t>(record.layout.mb_cols()),
             "qp_map.size()", "mb_rows * mb_cols", file, line);
    check::check_eq(record.layout.mb_cols(), (record.layout.width + 15) / 16, "mb_cols", "ceil(width / 16)", file, line);
    check::check_eq(record.layout.mb_rows(), (record.layout.height + 15) / 16, "mb_rows", "ceil(height / 16)", file, line);
}
#define CHECK_RECORD_SHAPE(record) check_record_shape((record), __FILE__, __LINE__)

// Whole-record equality: same picture, same parameters.
void check_same_picture(const CachedFrame& a, const CachedFrame& b, const char* file, int line) {
    check::check_eq(a.pts, b.pts, "a.pts", "b.pts", file, line);
    check::check_eq(a.layout.width, b.layout.width, "a.layout.width", "b.layout.width", file, line);
    check::check_eq(a.layout.height, b.layout.height, "a.layout.height", "b.layout.height", file, line);
    check::check_eq(a.layout.num_planes, b.layout.num_planes, "a.layout.num_planes", "b.layout.num_planes", file, line);
    for (int i = 0; i < std::min(a.layout.num_planes, b.layout.num_planes); ++i) {
        // Strides may differ between decoder instances; compare visible samples.
        bool same = a.layout.plane_width[i] == b.layout.plane_width[i] && a.layout.plane_height[i] == b.layout.plane_height[i];
        const size_t row_bytes = static_cast<size_t>(a.layout.plane_width[i]) * static_cast<size_t>(a.layout.bytes_per_sample);
        for (int y = 0; same && y < a.layout.plane_height[i]; ++y) {
            same = std::memcmp(a.planes[i].data() + static_cast<size_t>(y) * a.linesize[i],
                               b.planes[i].data() + static_cast<size_t>(y) * b.linesize[i], row_bytes) == 0;
        }
        check::check_true(same, ("visible samples of plane " + std::to_string(i) + " are equal").c_str(),
                   file, line);
    }
    check::check_eq(a.qp_map, b.qp_map, "a.qp_map", "b.qp_map", file, line);
    check::check_eq(a.cb_offset, b.cb_offset, "a.cb_offset", "b.cb_offset", file, line);
    check::check_eq(a.cr_offset, b.cr_offset, "a.cr_offset", "b.cr_offset", file, line);
}
#define CHECK_SAME_PICTURE(a, b) check_same_picture((a), (b), __FILE__, __LINE__)

// ---- construction and the packet index --------------------------------------

// What every freshly opened session shows, whatever the file.
void check_fresh_session(const H264DecoderSession& s) {
    CHECK_EQ(s.cursor().last_decoded_index(), -1);
    CHECK(s.cached_frames().empty());
    CHECK(cache_order(s).empty());
    CHECK(s.cursor().is_open());
    CHECK(s.cursor().stream_index() >= 0);
    CHECK(s.num_frames() > 0);
    const auto frames = static_cast<size_t>(s.num_frames());
    CHECK_EQ(s.index().display_pts.size(), frames);
    CHECK_EQ(s.index().seek_pts.size(), frames);
    CHECK_EQ(s.index().pts_to_idx.size(), frames);
    CHECK_EQ(s.index().seek_packet.size(), frames);
    CHECK_EQ(s.index().frame_packet.size(), frames);
    for (size_t i = 0; i < s.index().packets.size(); ++i) CHECK_EQ(s.index().packets[i].decode_idx, static_cast<int32_t>(i));
    if (s.index().seek_packet.size() != frames || s.index().frame_packet.size() != frames) return;
    for (size_t i = 0; i < frames; ++i) {
        if (i > 0) CHECK(s.index().display_pts[i - 1] < s.index().display_pts[i]);
        const auto found = s.index().pts_to_idx.find(s.index().display_pts[i]);
        CHECK(found != s.index().pts_to_idx.end());
        if (found != s.index().pts_to_idx.end()) CHECK_EQ(found->second, static_cast<int>(i));
        // The frame's packet carries its pts; decoding starts at a key packet
        // no later than it, whose pts is the frame's seek pts.
        const int own = s.index().frame_packet[i];
        const int start = s.index().seek_packet[i];
        if (!CHECK(start >= 0 && start <= own && static_cast<size_t>(own) < s.index().packets.size())) continue;
        CHECK_EQ(s.index().packets[static_cast<size_t>(own)].pts, s.index().display_pts[i]);
        CHECK(s.index().packets[static_cast<size_t>(start)].is_key);
        CHECK_EQ(s.index().packets[static_cast<size_t>(start)].pts, s.index().seek_pts[i]);
    }
}

void test_fresh_session_state() {
    for (const char* key : {"bframes", "longgop", "gop10", "av", "videoonly", "oddsize"}) {
        check::current_test = std::string("fresh_session_state[") + key + "]";
        check_fresh_session(*open(key));
    }
}

// One packet per picture in a plain libx264 mp4, and the pictures really are
// reordered (B-frames), so display order is not demux order.
void test_packet_table_of_bframe_file() {
    const auto s = open("bframes");
    CHECK_EQ(s->num_frames(), 100);
    CHECK_EQ(s->index().packets.size(), size_t{100});
    CHECK_EQ(s->width(), 128);
    CHECK_EQ(s->height(), 96);
    CHECK_EQ(s->mb_cols(), 8);
    CHECK_EQ(s->mb_rows(), 6);
    bool reordered = false;
    for (const PacketRecord& p : s->index().packets) reordered = reordered || p.pts != p.dts;
    CHECK(reordered);
    CHECK(s->index().packets.front().is_key);
    // Each frame's seek target is the pts of a key packet at or before it.
    std::set<int64_t> key_pts;
    for (const PacketRecord& p : s->index().packets)
        if (p.is_key) key_pts.insert(p.pts);
    for (int64_t target : s->index().seek_pts) CHECK(key_pts.count(target) == 1);
}

// Key frames every 10 pictures and no reordering: frame f seeks to frame
// f - f % 10; a single key group seeks everything to frame 0.
void test_seek_targets_follow_key_frames() {
    const auto gop10 = open("gop10");
    CHECK_EQ(gop10->num_frames(), 40);
    for (size_t f = 0; f < 40; ++f) CHECK_EQ(gop10->index().seek_pts[f], gop10->index().display_pts[f - f % 10]);
    for (size_t i = 0; i < gop10->index().packets.size(); ++i) CHECK_EQ(gop10->index().packets[i].is_key, i % 10 == 0);

    const auto longgop = open("longgop");
    CHECK_EQ(longgop->num_frames(), 500);
    for (int64_t target : longgop->index().seek_pts) CHECK_EQ(target, longgop->index().display_pts[0]);
}

// Interleaved audio is neither indexed nor numbered: the packet table equals
// the one of the same video stream alone (file offsets aside).
void test_audio_packets_not_indexed() {
    const auto with_audio = open("av");
    const auto video_only = open("videoonly");
    CHECK_EQ(with_audio->cursor().stream_count(), 2u);
    CHECK_EQ(video_only->cursor().stream_count(), 1u);
    CHECK_EQ(with_audio->num_frames(), 50);
    CHECK_EQ(video_only->num_frames(), 50);
    if (!CHECK_EQ(with_audio->index().packets.size(), video_only->index().packets.size())) return;
    bool offsets_differ = false;
    for (size_t i = 0; i < video_only->index().packets.size(); ++i) {
        const PacketRecord& a = with_audio->index().packets[i];
        const PacketRecord& v = video_only->index().packets[i];
        CHECK_EQ(a.pts, v.pts);
        CHECK_EQ(a.dts, v.dts);
        CHECK_EQ(a.size, v.size);
        CHECK_EQ(a.is_key, v.is_key);
        CHECK_EQ(a.decode_idx, v.decode_idx);
        offsets_differ = offsets_differ || a.pos != v.pos;
    }
    // Otherwise the audio did not sit between the video packets.
    CHECK(offsets_differ);
    CHECK_EQ(with_audio->index().display_pts, video_only->index().display_pts);
    CHECK_EQ(with_audio->index().seek_pts, video_only->index().seek_pts);

    // The audio is skipped when decoding too.
    for (int idx : {0, 17, 49, 3}) {
        const auto a = with_audio->get_frame(idx);
        const auto v = video_only->get_frame(idx);
        CHECK_SAME_PICTURE(*a, *v);
    }
    CHECK_CACHE_CONSISTENT(*with_audio);
}

// ---- the cache -------------------------------------------------------------

// A cached frame comes back as the same record, without decoding and without
// touching the decoding position or the eviction order.
void test_cache_hit_returns_same_record() {
    const auto s = open("gop10");
    const auto first = s->get_frame(3);
    CHECK_EQ(first->pts, s->index().display_pts[3]);
    const int last = s->cursor().last_decoded_index();
    const std::deque<int> order = cache_order(*s);
    const int64_t decoded = pictures_decoded(*s);

    CHECK_EQ(s->get_frame(3).get(), first.get());
    // Frame 1 was decoded on the way to frame 3; it is a hit as well.
    CHECK(s->cached_frame(1) != nullptr);
    CHECK_EQ(s->get_frame(1).get(), s->cached_frame(1).get());
    CHECK_EQ(s->get_frame(3).get(), first.get());

    CHECK_EQ(s->cursor().last_decoded_index(), last);
    CHECK_EQ(cache_order(*s), order);
    CHECK_EQ(pictures_decoded(*s), decoded);
    CHECK_CACHE_CONSISTENT(*s);
}

// 64 entries at most, evicted first-in first-out; a hit does not make an
// entry younger.
void test_cache_evicts_oldest_insert() {
    const auto s = open("longgop");
    for (int i = 0; i < 64; ++i) {
        s->get_frame(i);
        CHECK_EQ(s->cached_frames().size(), static_cast<size_t>(i + 1));
    }
    CHECK_EQ(cache_order(*s), order_range(0, 63));
    const auto frame0 = s->get_frame(0);  // a hit, the most recent request
    CHECK_EQ(frame0.get(), s->cached_frame(0).get());

    s->get_frame(64);
    CHECK_EQ(s->cached_frames().size(), size_t{64});
    CHECK(s->cached_frame(0) == nullptr);
    CHECK_EQ(cached_indices(*s), index_range(1, 64));
    CHECK_EQ(cache_order(*s).front(), 1);
    CHECK_EQ(cache_order(*s).back(), 64);
    CHECK_CACHE_CONSISTENT(*s);

    // Asking for frame 0 again decodes a new record of the same picture and
    // evicts the next oldest entry.
    const auto again = s->get_frame(0);
    CHECK(again.get() != frame0.get());
    CHECK_SAME_PICTURE(*again, *frame0);
    CHECK(s->cached_frame(1) == nullptr);
    CHECK_EQ(cache_order(*s).front(), 2);
    CHECK_EQ(cache_order(*s).back(), 0);
    CHECK_EQ(s->cached_frames().size(), size_t{64});
    CHECK_CACHE_CONSISTENT(*s);
}

// ---- the seek rule ---------------------------------------------------------

// The first request of a session decodes its key group from the key frame:
// every picture from the key frame up to the requested one is cached, and
// nothing of other key groups.
void test_first_request_decodes_from_key_frame() {
    {
        const auto s = open("gop10");
        const int64_t before = pictures_decoded(*s);
        const auto record = s->get_frame(7);
        CHECK_EQ(record->pts, s->index().display_pts[7]);
        CHECK_EQ(pictures_decoded(*s) - before, int64_t{8});
        CHECK_EQ(cached_indices(*s), index_range(0, 7));
        CHECK_EQ(cache_order(*s), order_range(0, 7));
        CHECK_EQ(s->cursor().last_decoded_index(), 7);
        CHECK_CACHE_CONSISTENT(*s);
    }
    {
        const auto s = open("gop10");
        const int64_t before = pictures_decoded(*s);
        s->get_frame(15);
        CHECK_EQ(pictures_decoded(*s) - before, int64_t{6});
        CHECK_EQ(cached_indices(*s), index_range(10, 15));
        CHECK_EQ(s->cursor().last_decoded_index(), 15);
        CHECK_CACHE_CONSISTENT(*s);
    }
}

// Forward within the key group of the last decoded picture, up to 350
// pictures ahead, the decoder just carries on; 351 ahead, or behind, it
// restarts from the key frame. (See pictures_decoded for why the count of
// decoded pictures is what tells the two apart.)
void test_forward_decode_limit() {
    const auto s = open("longgop");
    int64_t mark = pictures_decoded(*s);
    auto decoded_since_mark = [&] {
        const int64_t now = pictures_decoded(*s);
        const int64_t delta = now - mark;
        mark = now;
        return delta;
    };

    s->get_frame(0);
    CHECK_EQ(decoded_since_mark(), int64_t{1});
    CHECK_EQ(s->cursor().last_decoded_index(), 0);

    // Exactly 350 ahead: frames 1..350, no restart. The cache holds the last
    // 64 of them, contiguous and in decode order.
    CHECK_EQ(s->get_frame(350)->pts, s->index().display_pts[350]);
    CHECK_EQ(decoded_since_mark(), int64_t{350});
    CHECK_EQ(s->cursor().last_decoded_index(), 350);
    CHECK_EQ(cache_order(*s), order_range(287, 350));
    CHECK_CACHE_CONSISTENT(*s);

    s->get_frame(400);
    CHECK_EQ(decoded_since_mark(), int64_t{50});
    CHECK_EQ(cache_order(*s), order_range(337, 400));

    // Behind the last decoded picture and not cached: restart at frame 0.
    CHECK_EQ(s->get_frame(100)->pts, s->index().display_pts[100]);
    CHECK_EQ(decoded_since_mark(), int64_t{101});
    CHECK_EQ(s->cursor().last_decoded_index(), 100);
    CHECK_EQ(cache_order(*s), order_range(37, 100));
    CHECK_CACHE_CONSISTENT(*s);

    // 351 ahead: restart at frame 0 rather than decode forward.
    CHECK_EQ(s->get_frame(451)->pts, s->index().display_pts[451]);
    CHECK_EQ(decoded_since_mark(), int64_t{452});
    CHECK_EQ(s->cursor().last_decoded_index(), 451);
    CHECK_EQ(cache_order(*s), order_range(388, 451));

    // The very next picture continues.
    s->get_frame(452);
    CHECK_EQ(decoded_since_mark(), int64_t{1});
    CHECK_CACHE_CONSISTENT(*s);
}

// Outside the key group of the last decoded picture the session seeks, even
// when the request is only a few pictures ahead, and also for the very next
// picture.
void test_other_key_group_seeks() {
    {
        const auto s = open("gop10");
        s->get_frame(5);
        const int64_t before = pictures_decoded(*s);
        CHECK_EQ(s->get_frame(12)->pts, s->index().display_pts[12]);
        // 10, 11, 12 only; 6..9 were skipped by the seek.
        CHECK_EQ(pictures_decoded(*s) - before, int64_t{3});
        std::set<int> expected = index_range(0, 5);
        for (int i : index_range(10, 12)) expected.insert(i);
        CHECK_EQ(cached_indices(*s), expected);
        CHECK_EQ(s->cursor().last_decoded_index(), 12);
        CHECK_CACHE_CONSISTENT(*s);
    }
    {
        const auto reference = open("gop10");
        const auto direct = reference->get_frame(10);

        const auto s = open("gop10");
        s->get_frame(9);
        CHECK_EQ(s->cursor().last_decoded_index(), 9);
        const auto next = s->get_frame(10);
        CHECK_EQ(next->pts, s->index().display_pts[10]);
        CHECK_EQ(s->cursor().last_decoded_index(), 10);
        CHECK_EQ(cached_indices(*s), index_range(0, 10));
        CHECK_SAME_PICTURE(*next, *direct);
        // And on into the new group.
        CHECK_EQ(s->get_frame(11)->pts, s->index().display_pts[11]);
        CHECK_CACHE_CONSISTENT(*s);
    }
}

// A seek that re-decodes pictures still in the cache does not enter them a
// second time: they keep their place in the eviction order.
void test_redecoded_frames_keep_cache_place() {
    const auto s = open("gop10");
    s->get_frame(15);  // caches 10..15
    s->get_frame(3);   // behind: from key frame 0, caches 0..3
    CHECK_EQ(cache_order(*s), (std::deque<int>{10, 11, 12, 13, 14, 15, 0, 1, 2, 3}));
    const CachedFrame frame12 = *s->cached_frame(12);

    // Group of frame 10 again: decodes 10..17, of which 10..15 were cached.
    const int64_t before = pictures_decoded(*s);
    CHECK_EQ(s->get_frame(17)->pts, s->index().display_pts[17]);
    CHECK_EQ(pictures_decoded(*s) - before, int64_t{8});
    CHECK_EQ(cache_order(*s), (std::deque<int>{10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 16, 17}));
    CHECK_SAME_PICTURE(*s->cached_frame(12), frame12);
    CHECK_CACHE_CONSISTENT(*s);
}

// Every picture of a B-frame file, asked for in random order, is the same
// record a straight walk through the file gives, including the last ones,
// which the decoder only gives up when drained at the end of the input.
void test_random_order_matches_sequential() {
    std::vector<std::shared_ptr<CachedFrame>> walk;
    {
        const auto s = open("bframes");
        for (int i = 0; i < s->num_frames(); ++i) walk.push_back(s->get_frame(i));
    }
    const auto s = open("bframes");
    if (!CHECK_EQ(walk.size(), static_cast<size_t>(s->num_frames()))) return;

    // The last picture first, from a fresh session: only the drain gives it.
    {
        const int last = s->num_frames() - 1;
        const auto record = s->get_frame(last);
        CHECK_EQ(record->pts, s->index().display_pts[static_cast<size_t>(last)]);
        CHECK_SAME_PICTURE(*record, *walk[static_cast<size_t>(last)]);
        CHECK_CACHE_CONSISTENT(*s);
    }

    std::vector<int> order;
    for (int i = 0; i < s->num_frames(); ++i) order.push_back(i);
    std::mt19937 rng(20240611);
    for (int round = 0; round < 2; ++round) {
        std::shuffle(order.begin(), order.end(), rng);
        for (int idx : order) {
            const auto record = s->get_frame(idx);
            const auto i = static_cast<size_t>(idx);
            if (!CHECK_EQ(record->pts, s->index().display_pts[i])) continue;
            CHECK_SAME_PICTURE(*record, *walk[i]);
            CHECK_RECORD_SHAPE(*record);
        }
        CHECK_CACHE_CONSISTENT(*s);
    }
    // Sanity of the reference walk itself.
    for (size_t i = 0; i < walk.size(); ++i) CHECK_EQ(walk[i]->pts, s->index().display_pts[i]);
}

// ---- records ---------------------------------------------------------------

// A record handed out stays whole and unchanged after the cache evicts it and
// after the session is gone: it owns copies of everything.
void test_records_outlive_cache_and_session() {
    auto s = open("longgop");
    const int frames = s->num_frames();
    std::shared_ptr<CachedFrame> record = s->get_frame(0);
    const CachedFrame snapshot = *record;  // deep copy
    CHECK_RECORD_SHAPE(*record);
    CHECK_EQ(record->layout.width, 64);
    CHECK_EQ(record->layout.height, 64);
    CHECK_EQ(record->layout.mb_rows() * record->layout.mb_cols(), 16);
    CHECK_EQ(record->layout.num_planes, 3);
    CHECK_EQ(record->layout.plane_width[1], 32);
    CHECK_EQ(record->layout.plane_height[2], 32);
    for (int8_t qp : record->qp_map) CHECK(qp >= 0 && qp <= 51);

    for (int i = 1; i <= 100; ++i) s->get_frame(i);
    CHECK(s->cached_frame(0) == nullptr);
    CHECK_EQ(record.use_count(), 1L);
    CHECK_RECORD_SHAPE(*record);
    CHECK_SAME_PICTURE(*record, snapshot);

    std::shared_ptr<CachedFrame> cached = s->get_frame(99);  // still in the cache
    const int64_t pts99 = s->index().display_pts[99];
    s.reset();
    CHECK_EQ(cached.use_count(), 1L);
    CHECK_RECORD_SHAPE(*record);
    CHECK_SAME_PICTURE(*record, snapshot);
    CHECK_RECORD_SHAPE(*cached);
    CHECK_EQ(cached->pts, pts99);

    // And it is the picture a new session decodes.
    const auto fresh = open("longgop");
    CHECK_EQ(fresh->num_frames(), frames);
    CHECK_SAME_PICTURE(*fresh->get_frame(0), *record);
    CHECK_SAME_PICTURE(*fresh->get_frame(99), *cached);
}

// An odd-sized 4:2:0 picture: chroma planes round up, the macroblock grid
// covers the partial blocks, and every plane buffer spans stride x rows.
void test_odd_size_chroma_rounding() {
    const auto s = open("oddsize");
    CHECK_EQ(s->width(), 1281);
    CHECK_EQ(s->height(), 721);
    CHECK_EQ(s->mb_cols(), 81);
    CHECK_EQ(s->mb_rows(), 46);
    CHECK_EQ(s->num_frames(), 3);
    for (int idx = 0; idx < s->num_frames(); ++idx) {
        const auto record = s->get_frame(idx);
        CHECK_EQ(record->pts, s->index().display_pts[static_cast<size_t>(idx)]);
        CHECK_EQ(record->pix_fmt, std::string("yuv420p"));
        CHECK_EQ(record->layout.bytes_per_sample, 1);
        CHECK_EQ(record->layout.num_planes, 3);
        CHECK_EQ(record->layout.width, 1281);
        CHECK_EQ(record->layout.height, 721);
        CHECK_EQ(record->layout.plane_width[0], 1281);
        CHECK_EQ(record->layout.plane_height[0], 721);
        for (int p : {1, 2}) {
            CHECK_EQ(record->layout.plane_width[p], 641);
            CHECK_EQ(record->layout.plane_height[p], 361);
        }
        CHECK_EQ(record->layout.mb_cols(), 81);
        CHECK_EQ(record->layout.mb_rows(), 46);
        CHECK_RECORD_SHAPE(*record);
    }
    CHECK_CACHE_CONSISTENT(*s);
}

// ---- bounds ----------------------------------------------------------------

void test_out_of_range_index() {
    const auto s = open("gop10");
    s->get_frame(2);
    const std::deque<int> order = cache_order(*s);
    const int last = s->cursor().last_decoded_index();
    const std::string n = std::to_string(s->num_frames());

    CHECK_THROWS_WITH(s->get_frame(-1), std::out_of_range, "Frame index out of bounds: -1");
    CHECK_THROWS_WITH(s->get_frame(s->num_frames()), std::out_of_range, "Frame index out of bounds: " + n);
    CHECK_THROWS_WITH(s->get_frame(1 << 30), std::out_of_range, "Frame index out of bounds: 1073741824");
    CHECK_EQ(cache_order(*s), order);
    CHECK_EQ(s->cursor().last_decoded_index(), last);

    // The session is still usable, at both ends.
    CHECK_EQ(s->get_frame(0)->pts, s->index().display_pts.front());
    CHECK_EQ(s->get_frame(s->num_frames() - 1)->pts, s->index().display_pts.back());
    CHECK_CACHE_CONSISTENT(*s);
}

// ---- a request that cannot succeed -------------------------------------------

// Zeroes the payload of every packet of one key group in a copy of `source`.
std::string damage_key_group(const H264DecoderSession& session, int key_packet,
                             const std::string& source) {
    std::ifstream in(source, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t i = static_cast<size_t>(key_packet); i < session.index().packets.size(); ++i) {
        const PacketRecord& packet = session.index().packets[i];
        if (i > static_cast<size_t>(key_packet) && packet.is_key) break;
        std::memset(&bytes[static_cast<size_t>(packet.pos)], 0, static_cast<size_t>(packet.size));
    }
    const std::string damaged = source + ".damaged-" + std::to_string(key_packet) + ".mp4";
    std::ofstream(damaged, std::ios::binary) << bytes;
    return damaged;
}

void test_failed_request_reads_a_bounded_number_of_packets() {
    const auto intact = open("gop50");
    const int frame = 230;  // in the fifth key group, which starts at frame 200
    const int key_packet = intact->index().seek_packet[frame];
    const std::string damaged = damage_key_group(*intact, key_packet, file("gop50"));
    H264DecoderSession s(damaged);
    std::remove(damaged.c_str());

    CHECK_THROWS_WITH(s.get_frame(frame), std::runtime_error, "Failed to decode frame 230");
    // It gave up close behind the requested picture's packet, not at the end
    // of the file (which would leave the read position unknown after draining).
    const int target_packet = s.index().frame_packet[frame];
    CHECK(s.cursor().next_packet_index() > target_packet);
    CHECK(s.cursor().next_packet_index() <= target_packet + DecodeCursor::kMaxOutputDelayPackets + 1);
    // The key group before decodes as before.
    CHECK_EQ(s.get_frame(frame - 40)->pts, s.index().display_pts[frame - 40]);
}

const check::TestList kTests = {
    {"fresh_session_state", test_fresh_session_state},
    {"packet_table_of_bframe_file", test_packet_table_of_bframe_file},
    {"seek_targets_follow_key_frames", test_seek_targets_follow_key_frames},
    {"audio_packets_not_indexed", test_audio_packets_not_indexed},
    {"cache_hit_returns_same_record", test_cache_hit_returns_same_record},
    {"cache_evicts_oldest_insert", test_cache_evicts_oldest_insert},
    {"first_request_decodes_from_key_frame", test_first_request_decodes_from_key_frame},
    {"forward_decode_limit", test_forward_decode_limit},
    {"other_key_group_seeks", test_other_key_group_seeks},
    {"redecoded_frames_keep_cache_place", test_redecoded_frames_keep_cache_place},
    {"random_order_matches_sequential", test_random_order_matches_sequential},
    {"records_outlive_cache_and_session", test_records_outlive_cache_and_session},
    {"odd_size_chroma_rounding", test_odd_size_chroma_rounding},
    {"out_of_range_index", test_out_of_range_index},
    {"failed_request_reads_a_bounded_number_of_packets",
     test_failed_request_reads_a_bounded_number_of_packets},
};

}  // namespace

int main(int argc, char** argv) {
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--list") {
            check::list_tests(kTests);
            return 0;
        }
        if (arg == "--run" && i + 1 < argc) {
            only = argv[++i];
        } else if (const size_t eq = arg.find('='); eq != std::string::npos) {
            g_files[arg.substr(0, eq)] = arg.substr(eq + 1);
        } else {
            std::cout << "unknown argument: " << arg << "\n";
            return 2;
        }
    }
    return check::run_tests(kTests, only);
}
