#pragma once

#include <climits>
#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

#include "session/h264_decoder_session.h"

// A frame index as Python gave it: any integer, however large. Out-of-range
// values are reported as IndexError by the query, like any other index
// outside the frame range, rather than as a failed argument conversion.
struct FrameIndex {
    long long value = 0;
    // Python's text of an index beyond 64 bits (then `value` is clamped).
    std::string huge_text;

    std::string text() const { return huge_text.empty() ? std::to_string(value) : huge_text; }
};

namespace pybind11::detail {

template <>
struct type_caster<FrameIndex> {
    PYBIND11_TYPE_CASTER(FrameIndex, io_name("typing.SupportsInt | typing.SupportsIndex", "int"));

    bool load(handle src, bool convert) {
        if (!src || PyFloat_Check(src.ptr())) return false;
        object number;
        if (PyLong_Check(src.ptr()) || PyIndex_Check(src.ptr())) {
            number = reinterpret_steal<object>(PyNumber_Index(src.ptr()));
        } else if (convert && PyNumber_Check(src.ptr())) {
            number = reinterpret_steal<object>(PyNumber_Long(src.ptr()));
        } else {
            return false;
        }
        if (!number) {
            PyErr_Clear();
            return false;
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        this->value.value = overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : value;
        if (overflow != 0) this->value.huge_text = str(number).cast<std::string>();
        return true;
    }
};

// pybind11 lets `H264DecoderSession.__new__(H264DecoderSession)` make an
// instance whose constructor never ran; every method and property reaches
// the session through this caster, which refuses such an instance.
template <>
class type_caster<H264DecoderSession> : public type_caster_base<H264DecoderSession> {
public:
    bool load(handle src, bool convert) {
        if (!type_caster_base<H264DecoderSession>::load(src, convert)) return false;
        if (isinstance<H264DecoderSession>(src)) {
            auto* inst = reinterpret_cast<instance*>(src.ptr());
            if (!inst->get_value_and_holder().holder_constructed()) {
                throw type_error(
                    "H264DecoderSession object is not initialised: create it with "
                    "H264DecoderSession(path)");
            }
        }
        return true;
    }
};

}  // namespace pybind11::detail
