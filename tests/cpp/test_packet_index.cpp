// Frame numbering from a packet table, without any file: number_frames is a
// pure function of the packets in demux order.
//
// Usage: test_packet_index [--list | --run NAME]

#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

#include "tests/cpp/check.h"
#include "session/packet_index.h"

namespace {

// ---- helpers ---------------------------------------------------------------

constexpr int64_t kNoPts = AV_NOPTS_VALUE;

struct PacketShape {
    int64_t pts;
    bool is_key;
    bool discard = false;
};

// Packets in demux order from (pts, key, discarded); the other fields are
// filled plausibly and play no part in the numbering.
std::vector<PacketRecord> make_packets(const std::vector<PacketShape>& shapes) {
    std::vector<PacketRecord> packets;
    for (size_t i = 0; i < shapes.size(); ++i) {
        const auto i64 = static_cast<int64_t>(i);
        PacketRecord record{shapes[i].pts, i64 - 2, 1000 + 100 * i64, 100, shapes[i].is_key,
                            static_cast<int32_t>(i)};
        record.discard = shapes[i].discard;
        packets.push_back(record);
    }
    return packets;
}

std::vector<int64_t> range(int64_t first, int64_t last_inclusive) {
    std::vector<int64_t> out;
    for (int64_t v = first; v <= last_inclusive; ++v) out.push_back(v);
    return out;
}

std::map<int64_t, int> index_of(const std::vector<int64_t>& display_pts) {
    std::map<int64_t, int> out;
    for (size_t i = 0; i < display_pts.size(); ++i) out[display_pts[i]] = static_cast<int>(i);
    return out;
}

// What holds for every numbering: one entry per frame in every table, the
// lookup is the inverse of display_pts, each frame's packet carries its pts,
// and each frame starts from a packet at or before its own whose pts is the
// frame's seek pts.
void check_tables_agree(const std::vector<PacketRecord>& packets, const FrameTables& t,
                        const char* file, int line) {
    const size_t frames = t.display_pts.size();
    check::check_eq(t.seek_pts.size(), frames, "seek_pts.size()", "frames", file, line);
    check::check_eq(t.seek_packet.size(), frames, "seek_packet.size()", "frames", file, line);
    check::check_eq(t.frame_packet.size(), frames, "frame_packet.size()", "frames", file, line);
    check::check_eq(t.pts_to_idx, index_of(t.display_pts), "pts_to_idx", "inverse of display_pts", file, line);
    if (t.seek_pts.size() != frames || t.seek_packet.size() != frames || t.frame_packet.size() != frames)
        return;
    for (size_t f = 0; f < frames; ++f) {
        const int own = t.frame_packet[f];
        const int start = t.seek_packet[f];
        const bool in_range = own >= 0 && static_cast<size_t>(own) < packets.size() && start >= 0 &&
                              start <= own;
        check::check_true(in_range, "0 <= seek_packet[f] <= frame_packet[f] < packets.size()", file, line);
        if (!in_range) continue;
        check::check_eq(packets[static_cast<size_t>(own)].pts, t.display_pts[f], "pts of frame_packet[f]",
                 "display_pts[f]", file, line);
        check::check_true(!packets[static_cast<size_t>(own)].discard, "frame packet is not discarded", file,
                   line);
        if (packets[static_cast<size_t>(start)].pts != kNoPts) {
            check::check_eq(packets[static_cast<size_t>(start)].pts, t.seek_pts[f], "pts of seek_packet[f]",
                     "seek_pts[f]", file, line);
        }
    }
}
#define CHECK_TABLES_AGREE(packets, tables) check_tables_agree((packets), (tables), __FILE__, __LINE__)

// ---- tests -----------------------------------------------------------------

// Closed key groups with B-frames: demux order 0K 3 1 2 4K 7 5 6.
void test_closed_key_groups() {
    const auto packets = make_packets(
        {{0, true}, {3, false}, {1, false}, {2, false}, {4, true}, {7, false}, {5, false}, {6, false}});
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, range(0, 7));
    CHECK_EQ(t.seek_pts, (std::vector<int64_t>{0, 0, 0, 0, 4, 4, 4, 4}));
    CHECK_EQ(t.seek_packet, (std::vector<int>{0, 0, 0, 0, 4, 4, 4, 4}));
    CHECK_EQ(t.frame_packet, (std::vector<int>{0, 2, 3, 1, 4, 6, 7, 5}));
    CHECK_EQ(t.pts_to_idx, index_of(range(0, 7)));
    CHECK_EQ(t.pts_to_idx.size(), size_t{8});
    CHECK_TABLES_AGREE(packets, t);
}

// Open key groups, demux order 2K 0 1 5 3 4 8K 6 7. Pictures 6 and 7 follow
// key packet 8 in demux order but are shown before it: they are leading
// pictures that reference the group before, so they start from key packet 2.
// Pictures 0 and 1 lead the first key packet; there is no earlier one, so
// they start from it.
void test_open_key_groups() {
    const auto packets = make_packets({{2, true}, {0, false}, {1, false}, {5, false}, {3, false},
                                       {4, false}, {8, true}, {6, false}, {7, false}});
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, range(0, 8));
    CHECK_EQ(t.seek_pts, (std::vector<int64_t>{2, 2, 2, 2, 2, 2, 2, 2, 8}));
    CHECK_EQ(t.seek_packet, (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 6}));
    CHECK_EQ(t.frame_packet, (std::vector<int>{1, 2, 0, 4, 5, 3, 7, 8, 6}));
    CHECK_EQ(t.pts_to_idx, index_of(range(0, 8)));
    CHECK_TABLES_AGREE(packets, t);
}

// Timestamps need not start at 0 and need not be contiguous.
void test_sparse_timestamps() {
    const auto packets = make_packets({{-1024, true}, {2048, false}, {0, false}, {1024, false},
                                       {3072, true}, {4096, false}});
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, (std::vector<int64_t>{-1024, 0, 1024, 2048, 3072, 4096}));
    CHECK_EQ(t.seek_pts, (std::vector<int64_t>{-1024, -1024, -1024, -1024, 3072, 3072}));
    CHECK_EQ(t.seek_packet, (std::vector<int>{0, 0, 0, 0, 4, 4}));
    CHECK_TABLES_AGREE(packets, t);
}

// Packets ahead of the first key packet start from the first packet, under
// its pts ...
void test_leading_packets_before_first_key() {
    const auto packets = make_packets(
        {{10, false}, {12, false}, {11, false}, {20, true}, {22, false}, {21, false}});
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, (std::vector<int64_t>{10, 11, 12, 20, 21, 22}));
    CHECK_EQ(t.seek_pts, (std::vector<int64_t>{10, 10, 10, 20, 20, 20}));
    CHECK_EQ(t.seek_packet, (std::vector<int>{0, 0, 0, 3, 3, 3}));
    CHECK_EQ(t.frame_packet, (std::vector<int>{0, 2, 1, 3, 5, 4}));
    CHECK_TABLES_AGREE(packets, t);
}

// ... or under 0 when that first packet has no pts; the packet without a
// pts is no frame.
void test_leading_packets_first_without_pts() {
    const auto packets = make_packets({{kNoPts, false}, {2, false}, {1, false}, {5, true}, {6, false}});
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, (std::vector<int64_t>{1, 2, 5, 6}));
    CHECK_EQ(t.seek_pts, (std::vector<int64_t>{0, 0, 5, 5}));
    CHECK_EQ(t.seek_packet, (std::vector<int>{0, 0, 3, 3}));
    CHECK_EQ(t.frame_packet, (std::vector<int>{2, 1, 3, 4}));
    CHECK_EQ(t.pts_to_idx.count(kNoPts), size_t{0});
    CHECK_TABLES_AGREE(packets, t);
}

// Packets without pts in the middle of a stream are skipped; the others keep
// their key group.
void test_packets_without_pts_are_not_frames() {
    const auto packets = make_packets(
        {{0, true}, {kNoPts, false}, {1, false}, {3, true}, {kNoPts, false}, {4, false}});
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, (std::vector<int64_t>{0, 1, 3, 4}));
    CHECK_EQ(t.seek_pts, (std::vector<int64_t>{0, 0, 3, 3}));
    CHECK_EQ(t.frame_packet, (std::vector<int>{0, 2, 3, 5}));
    CHECK_TABLES_AGREE(packets, t);
}

// Packets an edit list discards are decoded as references but are no frames;
// the frames after them still start from the (discarded) key packet.
void test_discarded_packets_are_not_frames() {
    const auto packets = make_packets(
        {{-2, true, true}, {-1, false, true}, {0, false}, {1, false}, {2, true}, {3, false}});
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, (std::vector<int64_t>{0, 1, 2, 3}));
    CHECK_EQ(t.seek_pts, (std::vector<int64_t>{-2, -2, 2, 2}));
    CHECK_EQ(t.seek_packet, (std::vector<int>{0, 0, 4, 4}));
    CHECK_EQ(t.frame_packet, (std::vector<int>{2, 3, 4, 5}));
    CHECK_TABLES_AGREE(packets, t);
}

// Two packets with one pts make one frame, the first of them in demux order;
// the indices after it stay dense.
void test_duplicate_pts_is_one_frame() {
    const auto packets = make_packets({{0, true}, {2, false}, {1, false}, {1, false}, {3, false}});
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, range(0, 3));
    CHECK_EQ(t.seek_pts, (std::vector<int64_t>{0, 0, 0, 0}));
    CHECK_EQ(t.frame_packet, (std::vector<int>{0, 2, 1, 4}));
    CHECK_EQ(t.pts_to_idx, index_of(range(0, 3)));
    CHECK_TABLES_AGREE(packets, t);
}

// The same holds for a duplicate far apart in a long stream (where a sort is
// no longer a simple insertion sort): pts 5 first appears in the first key
// group and again in the last one, and the first counts.
void test_duplicate_pts_far_apart() {
    for (int length : {10, 40, 200, 1000}) {
        std::vector<PacketShape> shapes;
        for (int i = 0; i < length; ++i) shapes.push_back({i, i % 10 == 0});
        shapes.push_back({5, false});
        const auto packets = make_packets(shapes);
        const FrameTables t = number_frames(packets);
        if (!CHECK_EQ(t.display_pts.size(), static_cast<size_t>(length))) continue;
        CHECK_EQ(t.frame_packet[5], 5);
        CHECK_EQ(t.seek_pts[5], int64_t{0});
        CHECK_EQ(t.seek_packet[5], 0);
        CHECK_TABLES_AGREE(packets, t);
    }
}

// No pts anywhere, or no packets: no frames.
void test_no_timestamps_no_frames() {
    for (const auto& packets :
         {make_packets({{kNoPts, true}, {kNoPts, false}, {kNoPts, false}}), std::vector<PacketRecord>{}}) {
        const FrameTables t = number_frames(packets);
        CHECK_EQ(t.display_pts.size(), size_t{0});
        CHECK_EQ(t.seek_pts.size(), size_t{0});
        CHECK_EQ(t.seek_packet.size(), size_t{0});
        CHECK_EQ(t.frame_packet.size(), size_t{0});
        CHECK_EQ(t.pts_to_idx.size(), size_t{0});
    }
}

// A long stream: a key packet every 12th, B-pyramid-like reordering inside
// each closed group.
void test_long_stream() {
    std::vector<PacketShape> shapes;
    const int groups = 40;
    for (int g = 0; g < groups; ++g) {
        const int64_t base = 12 * g;
        // Demux order inside a group: I0 P3 B1 B2 P6 B4 B5 P9 B7 B8 P11 B10
        const int64_t order[] = {0, 3, 1, 2, 6, 4, 5, 9, 7, 8, 11, 10};
        for (int k = 0; k < 12; ++k) shapes.push_back({base + order[k], k == 0});
    }
    const auto packets = make_packets(shapes);
    const FrameTables t = number_frames(packets);
    CHECK_EQ(t.display_pts, range(0, 12 * groups - 1));
    std::vector<int64_t> expected_seek;
    std::vector<int> expected_seek_packet;
    for (int64_t f = 0; f < 12 * groups; ++f) {
        expected_seek.push_back(f - f % 12);
        expected_seek_packet.push_back(static_cast<int>(f - f % 12));
    }
    CHECK_EQ(t.seek_pts, expected_seek);
    CHECK_EQ(t.seek_packet, expected_seek_packet);
    CHECK_TABLES_AGREE(packets, t);
}

// The key packet strictly before a position, in demux order.
void test_previous_key_packet() {
    const auto packets = make_packets({{0, true}, {1, false}, {2, false}, {3, true}, {4, false}});
    CHECK_EQ(previous_key_packet(packets, 0), -1);
    CHECK_EQ(previous_key_packet(packets, 1), 0);
    CHECK_EQ(previous_key_packet(packets, 3), 0);
    CHECK_EQ(previous_key_packet(packets, 4), 3);
    CHECK_EQ(previous_key_packet(make_packets({{5, false}, {6, false}}), 1), -1);
}

const check::TestList kTests = {
    {"closed_key_groups", test_closed_key_groups},
    {"open_key_groups", test_open_key_groups},
    {"sparse_timestamps", test_sparse_timestamps},
    {"leading_packets_before_first_key", test_leading_packets_before_first_key},
    {"leading_packets_first_without_pts", test_leading_packets_first_without_pts},
    {"packets_without_pts_are_not_frames", test_packets_without_pts_are_not_frames},
    {"discarded_packets_are_not_frames", test_discarded_packets_are_not_frames},
    {"duplicate_pts_is_one_frame", test_duplicate_pts_is_one_frame},
    {"duplicate_pts_far_apart", test_duplicate_pts_far_apart},
    {"no_timestamps_no_frames", test_no_timestamps_no_frames},
    {"long_stream", test_long_stream},
    {"previous_key_packet", test_previous_key_packet},
};

}  // namespace

int main(int argc, char** argv) { return check::main(argc, argv, kTests); }
