"""Hand-made H.264 elementary streams whose headers claim whatever picture
size a test needs, with slice data that is not a valid picture."""

from __future__ import annotations


class BitWriter:
    def __init__(self) -> None:
        self.bits: list[int] = []

    def u(self, count: int, value: int) -> BitWriter:
        self.bits += [(value >> shift) & 1 for shift in range(count - 1, -1, -1)]
        return self

    def ue(self, value: int) -> BitWriter:
        code = value + 1
        return self.u(code.bit_length() - 1, 0).u(code.bit_length(), code)

    def se(self, value: int) -> BitWriter:
        return self.ue(2 * value - 1 if value > 0 else -2 * value)

    def rbsp(self) -> bytes:
        bits = self.bits + [1]
        bits += [0] * (-len(bits) % 8)
        return bytes(int("".join(map(str, bits[i : i + 8])), 2) for i in range(0, len(bits), 8))


def nal_unit(nal_type: int, rbsp: bytes, ref_idc: int = 3) -> bytes:
    escaped, zeros = bytearray(), 0
    for byte in rbsp:
        if zeros >= 2 and byte <= 3:
            escaped.append(3)
            zeros = 0
        escaped.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return b"\x00\x00\x00\x01" + bytes([(ref_idc << 5) | nal_type]) + bytes(escaped)


def h264_stream_claiming(width: int, height: int, pictures: int = 3) -> bytes:
    """A baseline stream whose SPS declares width x height (rounded up to
    whole macroblocks and cropped back) and whose slices hold noise."""
    mbs_w, mbs_h = -(-width // 16), -(-height // 16)
    crop_right, crop_bottom = (mbs_w * 16 - width) // 2, (mbs_h * 16 - height) // 2
    sps = (
        BitWriter()
        .u(8, 66)
        .u(8, 0xC0)
        .u(8, 51)
        .ue(0)  # profile, constraints, level, id
        .ue(0)
        .ue(2)
        .ue(1)
        .u(1, 0)  # frame_num bits, POC type 2, refs
        .ue(mbs_w - 1)
        .ue(mbs_h - 1)
        .u(1, 1)
        .u(1, 1)
    )  # size, frame_mbs_only, direct_8x8
    if crop_right or crop_bottom:
        sps.u(1, 1).ue(0).ue(crop_right).ue(0).ue(crop_bottom)
    else:
        sps.u(1, 0)
    sps.u(1, 0)  # no VUI
    pps = (
        BitWriter()
        .ue(0)
        .ue(0)
        .u(1, 0)
        .u(1, 0)
        .ue(0)
        .ue(0)
        .ue(0)
        .u(1, 0)
        .u(2, 0)
        .se(0)
        .se(0)
        .se(0)
        .u(1, 1)
        .u(1, 0)
        .u(1, 0)
    )
    stream = nal_unit(7, sps.rbsp()) + nal_unit(8, pps.rbsp())
    for picture in range(pictures):
        header = (
            BitWriter()
            .ue(0)
            .ue(7)
            .ue(0)
            .u(4, 0)
            .ue(picture % 2)  # I slice, frame_num 0
            .u(1, 0)
            .u(1, 0)
            .se(0)
            .ue(1)
        )  # marking, qp, deblock
        noise = bytes((picture * 37 + i * 101) % 251 + 1 for i in range(64))
        stream += nal_unit(5, header.rbsp()[:-1] + noise)
    return stream
