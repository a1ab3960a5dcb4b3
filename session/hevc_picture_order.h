#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

// Reads the picture order count of HEVC access units from their slice
// headers, with the parameter sets it needs (from the extradata and from the
// stream itself), in decode order.
//
// Pictures are placed as FFmpeg's decoder puts them out: by coded video
// sequence, which starts at every IDR or BLA picture, after an end of
// sequence and wherever another sequence parameter set is activated, then by
// picture order count within it. The first CRA picture of the stream (or
// after an end of sequence, or where decoding starts after a seek) has
// random access skipped leading (RASL) pictures that cannot be decoded and
// are never shown. A sequence that begins with "no output of prior pictures"
// (always so for a CRA picture after an end of sequence) drops the pictures
// of the previous one still waiting for output.
class HevcPictureOrder {
public:
    struct Picture {
        bool shown = false;  // false: not decodable or not meant for output
        int64_t sequence = 0;
        int64_t order = 0;  // picture order count
        // Position in parameter_set_packets() of the parameter sets known
        // once this access unit is read; -1 while there are none.
        int parameter_sets = -1;
    };

    // `extradata`: hvcC (length-prefixed NAL units follow) or Annex B
    // parameter sets; may be empty.
    HevcPictureOrder(const uint8_t* extradata, int extradata_size);

    // Reads the next access unit in decode order.
    void observe(const uint8_t* data, int size);

    // One picture per observed access unit, in decode order. A picture's
    // `shown` may still turn false while later access units are observed.
    const std::vector<Picture>& pictures() const { return pictures_; }

    // Every distinct state of the stream's parameter sets, each as one packet
    // (in the stream's own framing) that gives a decoder all of them; empty
    // when they changed beyond a bound.
    const std::vector<std::vector<uint8_t>>& parameter_set_packets() const {
        return parameter_set_packets_;
    }

private:
    struct SequenceParameters {
        bool known = false;
        int log2_max_order_lsb = 0;
        bool separate_colour_planes = false;
        int max_reorder = 0;  // pictures that may wait for output
        // Changes whenever the set is replaced by one with other content.
        int64_t generation = 0;
    };
    struct PictureParameters {
        bool known = false;
        int sps_id = 0;
        bool output_flag_present = false;
        int extra_slice_header_bits = 0;
    };

    template <typename Visit>
    void for_each_nal(const uint8_t* data, int size, bool length_prefixed, Visit visit) const;
    void read_parameter_set(const uint8_t* nal, int size);
    // Both return the set's id, or -1 when it cannot be read.
    int read_sps(const uint8_t* nal, int size);
    int read_pps(const uint8_t* nal, int size);
    std::vector<uint8_t> framed_parameter_sets() const;
    // Reads the first slice segment header of a picture into `picture`;
    // false (and `picture` untouched) when the picture cannot be decoded.
    bool read_slice(const uint8_t* nal, int size, Picture& picture);
    // Follows the decoder's output of shown pictures: those beyond the
    // reorder depth leave in order count order.
    void wait_for_output(const Picture& picture, int max_reorder);

    int nal_length_size_ = 0;  // 0: Annex B start codes
    std::array<SequenceParameters, 16> sps_{};
    std::array<PictureParameters, 64> pps_{};
    int64_t next_generation_ = 1;
    // The sequence parameter set in use: id and generation, -1 before any.
    int active_sps_id_ = -1;
    int64_t active_generation_ = -1;
    // Decoding begins as if after an end of sequence.
    bool after_end_of_sequence_ = true;
    // The first IRAP picture since the start or an end of sequence has no
    // decodable RASL pictures, even where pictures without one came first.
    bool awaiting_irap_ = true;
    // RASL pictures of the last IRAP picture are skipped; so are those ahead
    // of the first IRAP picture, whose IRAP picture is missing.
    bool skip_leading_ = true;
    int64_t previous_tid0_order_ = 0;
    int64_t sequence_ = -1;
    std::vector<Picture> pictures_;
    // VPS, SPS and PPS as last seen, by NAL unit type and id (the order a
    // decoder needs them in).
    std::map<std::pair<int, int>, std::vector<uint8_t>> parameter_sets_;
    bool parameter_sets_changed_ = false;
    bool parameter_sets_overflow_ = false;
    std::size_t parameter_set_bytes_ = 0;
    std::vector<std::vector<uint8_t>> parameter_set_packets_;
    // Positions in pictures_ of the current sequence's shown pictures that
    // the decoder still holds back.
    std::vector<std::size_t> awaiting_output_;
};
