#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Reads the picture order count of HEVC access units from their slice
// headers, with the parameter sets it needs (from the extradata and from the
// stream itself), in decode order.
//
// Pictures are placed as FFmpeg's decoder puts them out: by coded video
// sequence, which starts at every IDR or BLA picture, after an end of
// sequence and wherever another sequence parameter set is activated, then by
// picture order count within it. A CRA picture that begins the stream (or
// follows an end of sequence, or is where decoding starts after a seek) has
// random access skipped leading (RASL) pictures that cannot be decoded and
// are never shown.
class HevcPictureOrder {
public:
    struct Picture {
        bool shown = false;  // false: not decodable or not meant for output
        bool irap = false;
        int64_t sequence = 0;
        int64_t order = 0;  // picture order count
    };

    // `extradata`: hvcC (length-prefixed NAL units follow) or Annex B
    // parameter sets; may be empty.
    HevcPictureOrder(const uint8_t* extradata, int extradata_size);

    // The picture of the next access unit in decode order.
    Picture observe(const uint8_t* data, int size);

private:
    struct SequenceParameters {
        bool known = false;
        int log2_max_order_lsb = 0;
        bool separate_colour_planes = false;
        // Changes whenever the set is replaced by one with other content.
        int64_t generation = 0;
        std::vector<uint8_t> bytes;
    };
    struct PictureParameters {
        bool known = false;
        int sps_id = 0;
        bool dependent_slice_segments = false;
        bool output_flag_present = false;
        int extra_slice_header_bits = 0;
    };

    template <typename Visit>
    void for_each_nal(const uint8_t* data, int size, bool length_prefixed, Visit visit) const;
    void read_parameter_set(const uint8_t* nal, int size);
    void read_sps(const uint8_t* nal, int size);
    void read_pps(const uint8_t* nal, int size);
    // Reads the first slice segment header of a picture into `picture`;
    // false (and `picture` untouched) when the picture cannot be decoded.
    bool read_slice(const uint8_t* nal, int size, Picture& picture);

    int nal_length_size_ = 0;  // 0: Annex B start codes
    std::array<SequenceParameters, 16> sps_{};
    std::array<PictureParameters, 64> pps_{};
    int64_t next_generation_ = 1;
    // The sequence parameter set in use: id and generation, -1 before any.
    int active_sps_id_ = -1;
    int64_t active_generation_ = -1;
    // Decoding begins as if after an end of sequence.
    bool after_end_of_sequence_ = true;
    bool skip_leading_ = false;  // of the last IRAP picture
    int64_t previous_tid0_order_ = 0;
    int64_t sequence_ = -1;
};
