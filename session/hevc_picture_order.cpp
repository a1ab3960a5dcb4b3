#include "hevc_picture_order.h"

#include <algorithm>
#include <cstring>

namespace {

// NAL unit types (ITU-T H.265, table 7-1).
constexpr int kRadlN = 6;
constexpr int kRaslN = 8;
constexpr int kRaslR = 9;
constexpr int kBlaWLp = 16;
constexpr int kBlaNLp = 18;
constexpr int kIdrWRadl = 19;
constexpr int kIdrNLp = 20;
constexpr int kCra = 21;
constexpr int kLastIrap = 23;
constexpr int kLastVcl = 31;
constexpr int kVps = 32;
constexpr int kSps = 33;
constexpr int kPps = 34;
constexpr int kEndOfSequence = 36;
constexpr int kEndOfBitstream = 37;

// A slice segment header reaches the end of its picture order count within
// 7 bytes (a PPS its output flag within 4), emulation prevention aside.
constexpr int kSliceHeaderBytes = 32;

// Bound on the parameter set states kept for seeks (joined recordings need a
// few kilobytes).
constexpr size_t kMaxParameterSetBytes = size_t{16} << 20;

bool is_irap(int type) { return type >= kBlaWLp && type <= kLastIrap; }
bool is_idr(int type) { return type == kIdrWRadl || type == kIdrNLp; }
bool is_bla(int type) { return type >= kBlaWLp && type <= kBlaNLp; }
bool is_rasl(int type) { return type == kRaslN || type == kRaslR; }
bool is_leading(int type) { return type >= kRadlN && type <= kRaslR; }
// Sub-layer non-reference pictures (even types up to 14) never serve as the
// previous picture that the count's most significant part is taken from.
bool is_sub_layer_non_reference(int type) { return type <= 14 && type % 2 == 0; }

// Reads bits of a NAL unit's payload with emulation prevention bytes removed.
class BitReader {
public:
    BitReader(const uint8_t* nal, int size, int limit) {
        const int end = std::min(size, limit);
        payload_.reserve(end);
        int zeros = 0;
        for (int i = 0; i < end; ++i) {
            if (zeros >= 2 && nal[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = nal[i] == 0 ? zeros + 1 : 0;
            payload_.push_back(nal[i]);
        }
    }

    bool ok() const { return ok_; }

    uint32_t bits(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | bit();
        return value;
    }

    bool flag() { return bit() != 0; }

    void skip(int count) {
        position_ += count;
        if (position_ > payload_.size() * 8) ok_ = false;
    }

    // Exp-Golomb code; values beyond 32 bits mark the reader as failed.
    uint32_t ue() {
        int leading_zeros = 0;
        while (ok_ && bit() == 0) {
            if (++leading_zeros > 31) {
                ok_ = false;
                return 0;
            }
        }
        return (uint32_t{1} << leading_zeros) - 1 + bits(leading_zeros);
    }

private:
    uint32_t bit() {
        if (position_ >= payload_.size() * 8) {
            ok_ = false;
            return 0;
        }
        const uint32_t value = (payload_[position_ / 8] >> (7 - position_ % 8)) & 1;
        ++position_;
        return value;
    }

    std::vector<uint8_t> payload_;
    size_t position_ = 0;
    bool ok_ = true;
};

void skip_profile_tier_level(BitReader& reader, int max_sub_layers_minus1) {
    // General profile space, tier, profile, compatibility and constraint
    // flags (88 bits), then the general level.
    reader.skip(88 + 8);
    bool profile_present[8] = {};
    bool level_present[8] = {};
    for (int i = 0; i < max_sub_layers_minus1; ++i) {
        profile_present[i] = reader.flag();
        level_present[i] = reader.flag();
    }
    if (max_sub_layers_minus1 > 0) reader.skip(2 * (8 - max_sub_layers_minus1));
    for (int i = 0; i < max_sub_layers_minus1; ++i) {
        if (profile_present[i]) reader.skip(88);
        if (level_present[i]) reader.skip(8);
    }
}

int nal_type(const uint8_t* nal) { return (nal[0] >> 1) & 0x3f; }
int nal_layer(const uint8_t* nal) { return ((nal[0] & 1) << 5) | (nal[1] >> 3); }
int nal_temporal_id_plus1(const uint8_t* nal) { return nal[1] & 7; }

// hvcC begins with configurationVersion 1; FFmpeg also takes any extradata
// that does not begin with a start code as hvcC.
bool is_hvcc(const uint8_t* data, int size) {
    return size > 3 && (data[0] != 0 || data[1] != 0 || data[2] > 1);
}

}  // namespace

HevcPictureOrder::HevcPictureOrder(const uint8_t* extradata, int extradata_size) {
    if (extradata == nullptr || extradata_size <= 0) return;
    if (!is_hvcc(extradata, extradata_size)) {
        for_each_nal(extradata, extradata_size, false,
                     [&](const uint8_t* nal, int size) { read_parameter_set(nal, size); });
        return;
    }
    constexpr int kArraysOffset = 22;
    if (extradata_size <= kArraysOffset) return;
    nal_length_size_ = (extradata[21] & 3) + 1;
    int offset = kArraysOffset + 1;
    const int arrays = extradata[kArraysOffset];
    for (int array = 0; array < arrays && offset + 3 <= extradata_size; ++array) {
        const int count = (extradata[offset + 1] << 8) | extradata[offset + 2];
        offset += 3;
        for (int i = 0; i < count && offset + 2 <= extradata_size; ++i) {
            const int size = (extradata[offset] << 8) | extradata[offset + 1];
            offset += 2;
            if (size > extradata_size - offset) return;
            read_parameter_set(extradata + offset, size);
            offset += size;
        }
    }
}

template <typename Visit>
void HevcPictureOrder::for_each_nal(const uint8_t* data, int size, bool length_prefixed,
                                    Visit visit) const {
    if (length_prefixed) {
        int offset = 0;
        while (offset + nal_length_size_ <= size) {
            int64_t length = 0;
            for (int i = 0; i < nal_length_size_; ++i) length = (length << 8) | data[offset + i];
            offset += nal_length_size_;
            if (length > size - offset) length = size - offset;
            if (length >= 2) visit(data + offset, static_cast<int>(length));
            offset += static_cast<int>(length);
        }
        return;
    }
    int start = -1;
    int i = 0;
    while (i + 2 < size) {
        // No start code begins at i, i + 1 or i + 2 when the third byte is
        // above 1: most of a picture's bytes are passed over three at a time.
        if (data[i + 2] > 1) {
            i += 3;
        } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start >= 0 && i - start >= 2) visit(data + start, i - start);
            start = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    if (start >= 0 && size - start >= 2) visit(data + start, size - start);
}

void HevcPictureOrder::read_parameter_set(const uint8_t* nal, int size) {
    if (size < 3 || nal_layer(nal) != 0) return;
    // Trailing zero bytes belong to the byte stream, not to the set.
    while (size > 2 && nal[size - 1] == 0) --size;
    const int type = nal_type(nal);
    int id = -1;
    if (type == kVps) id = nal[2] >> 4;
    if (type == kSps) id = read_sps(nal, size);
    if (type == kPps) id = read_pps(nal, size);
    if (id < 0) return;
    std::vector<uint8_t>& stored = parameter_sets_[{type, id}];
    if (stored.size() == static_cast<size_t>(size) && std::memcmp(stored.data(), nal, size) == 0)
        return;
    stored.assign(nal, nal + size);
    parameter_sets_changed_ = true;
    if (type == kSps) sps_[id].generation = next_generation_++;
}

int HevcPictureOrder::read_sps(const uint8_t* nal, int size) {
    BitReader reader(nal + 2, size - 2, size);
    reader.skip(4);  // sps_video_parameter_set_id
    const int max_sub_layers_minus1 = static_cast<int>(reader.bits(3));
    reader.skip(1);  // sps_temporal_id_nesting_flag
    if (max_sub_layers_minus1 > 6) return -1;
    skip_profile_tier_level(reader, max_sub_layers_minus1);
    const uint32_t id = reader.ue();
    const uint32_t chroma_format = reader.ue();
    const bool separate_colour_planes = chroma_format == 3 && reader.flag();
    reader.ue();  // pic_width_in_luma_samples
    reader.ue();  // pic_height_in_luma_samples
    if (reader.flag()) {  // conformance_window_flag
        for (int i = 0; i < 4; ++i) reader.ue();
    }
    reader.ue();  // bit_depth_luma_minus8
    reader.ue();  // bit_depth_chroma_minus8
    const uint32_t log2_max_order_lsb_minus4 = reader.ue();
    // The ordering information of the highest sub-layer is the last given.
    uint32_t max_reorder = 0;
    const int first_ordered_layer = reader.flag() ? 0 : max_sub_layers_minus1;
    for (int layer = first_ordered_layer; layer <= max_sub_layers_minus1; ++layer) {
        reader.ue();  // sps_max_dec_pic_buffering_minus1
        max_reorder = reader.ue();
        reader.ue();  // sps_max_latency_increase_plus1
    }
    if (!reader.ok() || id >= sps_.size() || chroma_format > 3 || log2_max_order_lsb_minus4 > 12 ||
        max_reorder > 16)
        return -1;
    SequenceParameters& sps = sps_[id];
    sps.known = true;
    sps.log2_max_order_lsb = static_cast<int>(log2_max_order_lsb_minus4) + 4;
    sps.separate_colour_planes = separate_colour_planes;
    sps.max_reorder = static_cast<int>(max_reorder);
    return static_cast<int>(id);
}

int HevcPictureOrder::read_pps(const uint8_t* nal, int size) {
    BitReader reader(nal + 2, size - 2, kSliceHeaderBytes);
    const uint32_t id = reader.ue();
    const uint32_t sps_id = reader.ue();
    PictureParameters pps;
    reader.skip(1);  // dependent_slice_segments_enabled_flag
    pps.output_flag_present = reader.flag();
    pps.extra_slice_header_bits = static_cast<int>(reader.bits(3));
    if (!reader.ok() || id >= pps_.size() || sps_id >= sps_.size()) return -1;
    pps.known = true;
    pps.sps_id = static_cast<int>(sps_id);
    pps_[id] = pps;
    return static_cast<int>(id);
}

std::vector<uint8_t> HevcPictureOrder::framed_parameter_sets() const {
    std::vector<uint8_t> framed;
    for (const auto& [key, nal] : parameter_sets_) {
        if (nal_length_size_ > 0) {
            for (int i = nal_length_size_ - 1; i >= 0; --i)
                framed.push_back(static_cast<uint8_t>(nal.size() >> (8 * i)));
        } else {
            framed.insert(framed.end(), {0, 0, 0, 1});
        }
        framed.insert(framed.end(), nal.begin(), nal.end());
    }
    return framed;
}

bool HevcPictureOrder::read_slice(const uint8_t* nal, int size, Picture& picture) {
    const int type = nal_type(nal);
    BitReader reader(nal + 2, size - 2, kSliceHeaderBytes);
    // A picture whose first slice segment is missing is not decoded.
    if (!reader.flag()) return false;
    const bool no_output_of_prior_pictures = is_irap(type) && reader.flag();
    const uint32_t pps_id = reader.ue();
    if (!reader.ok() || pps_id >= pps_.size() || !pps_[pps_id].known) return false;
    const PictureParameters& pps = pps_[pps_id];
    const SequenceParameters& sps = sps_[pps.sps_id];
    if (!sps.known) return false;
    reader.skip(pps.extra_slice_header_bits);
    if (reader.ue() > 2) return false;  // slice_type: B, P or I
    const bool output = pps.output_flag_present ? reader.flag() : true;
    if (sps.separate_colour_planes) reader.skip(2);
    const int64_t lsb = is_idr(type) ? 0 : reader.bits(sps.log2_max_order_lsb);
    if (!reader.ok()) return false;

    const bool new_sequence = is_idr(type) || is_bla(type) || after_end_of_sequence_ ||
                              pps.sps_id != active_sps_id_ || sps.generation != active_generation_;
    if (new_sequence) {
        ++sequence_;
        // The pictures still held back are put out, or dropped.
        if (is_irap(type) && (no_output_of_prior_pictures ||
                              (type == kCra && after_end_of_sequence_))) {
            for (size_t position : awaiting_output_) pictures_[position].shown = false;
        }
        awaiting_output_.clear();
    }
    active_sps_id_ = pps.sps_id;
    active_generation_ = sps.generation;

    // Picture order count (H.265 8.3.1): the most significant part follows
    // the previous temporal-layer-0 picture across wraps of the least
    // significant part, and restarts from 0 where a sequence begins (at IRAP
    // pictures with NoRaslOutputFlag in a well-formed stream). FFmpeg does not
    // restart it at a CRA picture, but across sequences only their order counts.
    int64_t msb = 0;
    if (!new_sequence) {
        const int64_t max_lsb = int64_t{1} << sps.log2_max_order_lsb;
        const int64_t previous_lsb = ((previous_tid0_order_ % max_lsb) + max_lsb) % max_lsb;
        msb = previous_tid0_order_ - previous_lsb;
        if (lsb < previous_lsb && previous_lsb - lsb >= max_lsb / 2) {
            msb += max_lsb;
        } else if (lsb > previous_lsb && lsb - previous_lsb > max_lsb / 2) {
            msb -= max_lsb;
        }
    }
    const int64_t order = msb + lsb;
    if (nal_temporal_id_plus1(nal) == 1 && !is_leading(type) && !is_sub_layer_non_reference(type))
        previous_tid0_order_ = order;
    if (is_irap(type)) {
        skip_leading_ = awaiting_irap_ || is_idr(type) || is_bla(type);
        awaiting_irap_ = false;
    }
    after_end_of_sequence_ = false;

    picture.sequence = sequence_;
    picture.order = order;
    picture.shown = output && !(is_rasl(type) && skip_leading_);
    return true;
}

void HevcPictureOrder::wait_for_output(const Picture& picture, int max_reorder) {
    if (!picture.shown) return;
    awaiting_output_.push_back(pictures_.size() - 1);
    while (static_cast<int>(awaiting_output_.size()) > max_reorder) {
        const auto first = std::min_element(
            awaiting_output_.begin(), awaiting_output_.end(),
            [&](size_t a, size_t b) { return pictures_[a].order < pictures_[b].order; });
        awaiting_output_.erase(first);
    }
}

void HevcPictureOrder::observe(const uint8_t* data, int size) {
    Picture picture;
    int max_reorder = 0;
    bool sliced = false;
    bool end_of_sequence = false;
    for_each_nal(data, size, nal_length_size_ > 0, [&](const uint8_t* nal, int nal_size) {
        if (nal_temporal_id_plus1(nal) == 0 || nal_layer(nal) != 0) return;
        const int type = nal_type(nal);
        if (type == kEndOfSequence || type == kEndOfBitstream) {
            // Ends the sequence for this access unit when it comes first,
            // else for the next one.
            if (sliced) {
                end_of_sequence = true;
            } else {
                after_end_of_sequence_ = true;
                awaiting_irap_ = true;
            }
        } else if (type <= kLastVcl) {
            // The picture is read from its first slice segment; without one
            // it is not decoded and stays unshown.
            if (!sliced && read_slice(nal, nal_size, picture))
                max_reorder = sps_[active_sps_id_].max_reorder;
            sliced = true;
        } else {
            read_parameter_set(nal, nal_size);
        }
    });
    if (end_of_sequence) after_end_of_sequence_ = awaiting_irap_ = true;
    if (parameter_sets_changed_ && !parameter_sets_overflow_) {
        parameter_set_packets_.push_back(framed_parameter_sets());
        parameter_set_bytes_ += parameter_set_packets_.back().size();
        // A stream whose parameter sets change all the time is damaged (or
        // hostile); it is read without them rather than hold them all.
        if (parameter_set_bytes_ > kMaxParameterSetBytes) {
            parameter_sets_overflow_ = true;
            std::vector<std::vector<uint8_t>>().swap(parameter_set_packets_);
            for (Picture& earlier : pictures_) earlier.parameter_sets = -1;
        }
    }
    parameter_sets_changed_ = false;
    picture.parameter_sets = static_cast<int>(parameter_set_packets_.size()) - 1;
    pictures_.push_back(picture);
    wait_for_output(picture, max_reorder);
}
