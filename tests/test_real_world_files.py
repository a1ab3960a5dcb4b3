"""Files shaped like the ones people have: a cover picture ahead of the video,
streams that change size or format mid-way, recordings joined with `cat`,
container timestamps that contradict the bitstream, a recording cut in the
middle of a key group, a fast-start MP4 cut short, and a picture cropped on
the left and top.

For each, the frame count is the one of FFmpeg's full decode, and every frame
index, asked for in shuffled order or first thing in a fresh session, gives
the luma and the QP map that FFmpeg's own decode of the file puts out at that
position: tests/cpp/reference_decode.c, a plain libavformat/libavcodec decode
loop that writes the pictures and the exported video encoding parameters.
"""

from __future__ import annotations

import functools
import json
import re
import struct
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from tests.support import ffmpeg_reference, videos
from tests.test_hevc import ffmpeg_exports_hevc_qp

LAVFI = ["-f", "lavfi", "-i"]
X264 = ["-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-g", "24"]

# --------------------------------------------------------------------------
# Inputs
# --------------------------------------------------------------------------


def encoded(
    name: str,
    suffix: str,
    *,
    size="320x240",
    frames=50,
    source="testsrc2",
    extra: tuple[str, ...] = (),
) -> Path:
    return videos.lavfi_h264(
        name, suffix, size=size, frames=frames, source=source, encoder=X264, extra=list(extra)
    )


def joined(name: str, suffix: str, parts: list[Path]) -> Path:
    """The files byte by byte, one after another, as `cat` joins them."""

    def make(out: Path) -> None:
        out.write_bytes(b"".join(part.read_bytes() for part in parts))

    return videos.made_video(name, suffix, ["cat", *map(str, parts)], make)


def remuxed(name: str, suffix: str, source: Path, *args: str, before: tuple[str, ...] = ()) -> Path:
    return videos.ffmpeg_video(name, suffix, *before, "-i", str(source), "-c", "copy", *args)


def _mp4_atoms(data: bytes | bytearray, start: int, end: int):
    while start < end:
        size, kind = struct.unpack(">I4s", data[start : start + 8])
        if size == 1:
            size = struct.unpack(">Q", data[start + 8 : start + 16])[0]
        yield start, size, kind
        start += size


def cover_first(suffix: str) -> Path:
    """An MP4 (or MOV) whose stream 0 is a PNG cover (attached_pic) and stream
    1 the H.264 clip. FFmpeg writes the cover as `covr` metadata, which its
    demuxer lists after the tracks; moving `udta` ahead of the `trak` atoms
    inside `moov` lists it first (no chunk offset moves: `mdat` comes before
    `moov`). For MOV, whose muxer writes no cover, the brands become `qt  `."""
    cover = videos.ffmpeg_video(
        "real-cover", ".png", *LAVFI, "color=c=red:size=160x120", "-frames:v", "1"
    )
    clip = encoded("real-clip", ".mp4")
    muxed = videos.ffmpeg_video(
        "real-cover-last",
        ".mp4",
        "-i",
        str(cover),
        "-i",
        str(clip),
        "-map",
        "0:v",
        "-map",
        "1:v",
        "-c",
        "copy",
        "-disposition:v:0",
        "attached_pic",
    )

    def make(out: Path) -> None:
        data = bytearray(muxed.read_bytes())
        for pos, size, kind in list(_mp4_atoms(data, 0, len(data))):
            if kind == b"moov":
                children = list(_mp4_atoms(data, pos + 8, pos + size))
                ordered = sorted(children, key=lambda child: child[2] != b"udta")
                data[pos + 8 : pos + size] = b"".join(bytes(data[p : p + s]) for p, s, _ in ordered)
            if kind == b"ftyp" and suffix == ".mov":
                for brand in range(pos + 8, pos + size, 4):
                    if brand != pos + 12:  # minor version
                        data[brand : brand + 4] = b"qt  "
        out.write_bytes(data)

    return videos.made_video("real-cover-first", suffix, [str(muxed), "udta-first"], make)


def cover_attached_mkv() -> Path:
    cover = videos.ffmpeg_video(
        "real-cover", ".png", *LAVFI, "color=c=red:size=160x120", "-frames:v", "1"
    )
    return remuxed(
        "real-cover",
        ".mkv",
        encoded("real-clip", ".mp4"),
        "-attach",
        str(cover),
        "-metadata:s:t",
        "mimetype=image/png",
    )


def raw(name: str, **options) -> Path:
    return encoded(name, ".264", **options)


def size_change_ts() -> Path:
    # The second part's timestamps go on from the first's: one recording
    # whose picture size changes, not two joined ones.
    first = encoded("real-size-a", ".ts", frames=40)
    second = encoded(
        "real-size-b", ".ts", size="480x272", frames=30, extra=("-output_ts_offset", "1.6")
    )
    return joined("real-size-change", ".ts", [first, second])


def ts_cut_mid_key_group() -> Path:
    source = encoded("real-cut-source", ".ts", frames=75)

    def make(out: Path) -> None:
        data = source.read_bytes()
        packets = len(data) // 188
        out.write_bytes(data[packets * 2 // 5 * 188 :])

    return videos.made_video("real-cut", ".ts", [str(source), "from 2/5, at a TS packet"], make)


def faststart_cut(codec: str, percent: int) -> Path:
    """An MP4 with its index at the front, cut after `percent` % of its bytes
    (a download that stopped): the index lists samples past the end."""
    if codec == "h264":
        clip = encoded("real-faststart-clip", ".mp4", frames=40)
    else:
        clip = videos.libx265_video(
            "real-faststart-clip", ".mp4", "crf=30:bframes=2:keyint=15", size="320x240", frames=40
        )
    faststart = remuxed(f"real-faststart-{codec}", ".mp4", clip, "-movflags", "+faststart")

    def make(out: Path) -> None:
        data = faststart.read_bytes()
        out.write_bytes(data[: len(data) * percent // 100])

    return videos.made_video(
        f"real-faststart-{codec}-cut{percent}", ".mp4", [str(faststart), f"first {percent} %"], make
    )


CASES = {
    # 1. A cover picture as the first video stream.
    "cover-first.mp4": lambda: cover_first(".mp4"),
    "cover-first.mov": lambda: cover_first(".mov"),
    "cover-attachment.mkv": cover_attached_mkv,
    # 2. Size or format changes mid-stream.
    "size-change.264": lambda: joined(
        "real-size-change",
        ".264",
        [raw("real-size-a"), raw("real-size-b", size="480x272", frames=30)],
    ),
    "size-change.ts": size_change_ts,
    "420-to-444.264": lambda: joined(
        "real-420-to-444",
        ".264",
        [raw("real-size-a"), raw("real-444", frames=20, extra=("-pix_fmt", "yuv444p"))],
    ),
    "8-to-10-bit.264": lambda: joined(
        "real-8-to-10-bit",
        ".264",
        [raw("real-size-a"), raw("real-10bit", frames=20, extra=("-pix_fmt", "yuv420p10le"))],
    ),
    "10-to-8-bit.264": lambda: joined(
        "real-10-to-8-bit",
        ".264",
        [raw("real-10bit", frames=20, extra=("-pix_fmt", "yuv420p10le")), raw("real-size-a")],
    ),
    # 3. Recordings joined byte-wise: same start, overlapping, going backwards.
    "joined-same-start.ts": lambda: joined(
        "real-joined-same",
        ".ts",
        [encoded("real-rec-a", ".ts"), encoded("real-rec-b", ".ts", source="testsrc", frames=75)],
    ),
    "joined-overlapping.ts": lambda: joined(
        "real-joined-overlap",
        ".ts",
        [
            encoded("real-rec-a", ".ts"),
            encoded("real-rec-c", ".ts", source="testsrc", extra=("-output_ts_offset", "1")),
        ],
    ),
    "joined-earlier-second.ts": lambda: joined(
        "real-joined-earlier",
        ".ts",
        [
            encoded("real-rec-d", ".ts", frames=75, extra=("-output_ts_offset", "10")),
            encoded("real-rec-a", ".ts"),
            encoded("real-rec-b", ".ts", source="testsrc", frames=75),
        ],
    ),
    # 4. pts = dts although the bitstream reorders (stream copies of a raw stream).
    "pts-is-dts.mp4": lambda: remuxed("real-ptsdts", ".mp4", raw("real-reordered", frames=48)),
    "pts-is-dts.mov": lambda: remuxed("real-ptsdts", ".mov", raw("real-reordered", frames=48)),
    "pts-is-dts.mkv": lambda: remuxed(
        "real-ptsdts", ".mkv", raw("real-reordered", frames=48), "-bsf:v", "setts=pts=DTS"
    ),
    "pts-is-dts.ts": lambda: remuxed(
        "real-ptsdts", ".ts", raw("real-reordered", frames=48), "-bsf:v", "setts=pts=DTS"
    ),
    "genpts.mp4": lambda: remuxed(
        "real-genpts", ".mp4", raw("real-reordered", frames=48), before=("-fflags", "+genpts")
    ),
    # 5. Undecodable pictures at the start.
    "cut-mid-key-group.ts": ts_cut_mid_key_group,
    # 6. A fast-start MP4 cut short: its index names samples past the cut.
    **{
        f"faststart-{codec}-cut{percent}.mp4": functools.partial(faststart_cut, codec, percent)
        for codec in ("h264", "hevc")
        for percent in (37, 61, 83)
    },
    # 7. Cropped on the left and top.
    "crop-left-top.mp4": lambda: encoded(
        "real-crop", ".mp4", frames=30, extra=("-x264opts", "crop-rect=4,2,6,8")
    ),
}

# --------------------------------------------------------------------------
# FFmpeg's own decode
# --------------------------------------------------------------------------


def reference_decoder() -> Path:
    return ffmpeg_reference.reference_tool(Path(__file__).parent / "cpp" / "reference_decode.c")


@dataclass
class Picture:
    width: int
    height: int
    pix_fmt: str
    luma: np.ndarray
    coded_qp: np.ndarray  # the coded picture's macroblocks


def video_stream(path: Path) -> int:
    """The first video stream that is not an attached picture, as ffprobe lists them."""
    out = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-show_entries",
            "stream=index,codec_type:stream_disposition=attached_pic",
            "-of",
            "json",
            str(path),
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    for stream in json.loads(out)["streams"]:
        if stream["codec_type"] == "video" and not stream["disposition"]["attached_pic"]:
            return int(stream["index"])
    raise AssertionError(f"ffprobe lists no video stream in {path}")


@functools.cache
def ffmpeg_pictures(path: Path) -> list[Picture]:
    data = subprocess.run(
        [str(reference_decoder()), str(path), str(video_stream(path))],
        capture_output=True,
        check=True,
    ).stdout
    pictures, offset = [], 0
    while offset < len(data):
        end = data.index(b"\n", offset)
        width, height, pix_fmt, rows, cols = data[offset:end].decode().split()
        width, height, rows, cols = int(width), int(height), int(rows), int(cols)
        offset = end + 1
        dtype = np.uint16 if re.search(r"p1[0-6]", pix_fmt) else np.uint8
        count = width * height * np.dtype(dtype).itemsize
        luma = np.frombuffer(data[offset : offset + count], dtype).reshape(height, width)
        offset += count
        qp = np.frombuffer(data[offset : offset + rows * cols], np.int8).reshape(rows, cols)
        offset += rows * cols
        pictures.append(Picture(width, height, pix_fmt, luma, qp))
    return pictures


@functools.cache
def ffmpeg_command_frame_count(path: Path) -> int:
    result = subprocess.run(
        [
            "ffmpeg",
            "-hide_banner",
            "-nostdin",
            "-i",
            str(path),
            "-map",
            f"0:{video_stream(path)}",
            "-fps_mode",
            "passthrough",
            "-f",
            "null",
            "-",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    return int(re.findall(r"frame=\s*(\d+)", result.stderr)[-1])


def difference(session: mbgauge.H264DecoderSession, frame: int, want: Picture) -> str | None:
    """What differs between the session's frame and FFmpeg's picture, or None."""
    width, height, pix_fmt = session.get_frame_format(frame)
    if (width, height, pix_fmt) != (want.width, want.height, want.pix_fmt):
        return f"frame {frame}: {width}x{height} {pix_fmt}, FFmpeg {want.width}x{want.height} {want.pix_fmt}"
    luma = session.get_plane_data(frame, 0)[:height, :width]
    if not np.array_equal(luma, want.luma):
        return f"frame {frame}: luma differs in {np.count_nonzero(luma != want.luma)} samples"
    qp = session.get_qpmap(frame)
    expected = want.coded_qp[: (height + 15) // 16, : (width + 15) // 16]
    if not np.array_equal(qp, expected):
        return f"frame {frame}: QP map differs in {np.count_nonzero(qp != expected)} cells"
    return None


@pytest.fixture(params=list(CASES))
def case(request) -> Path:
    if request.param.startswith("faststart-hevc") and not ffmpeg_exports_hevc_qp():
        # The reference QP maps of HEVC come from the decoder's export.
        pytest.skip("HEVC QP maps are exported by mbgauge's FFmpeg only")
    return CASES[request.param]()


# --------------------------------------------------------------------------
# Tests
# --------------------------------------------------------------------------


def test_frame_count_is_that_of_ffmpegs_full_decode(case):
    session = mbgauge.H264DecoderSession(case)
    assert session.num_frames == len(ffmpeg_pictures(case)) == ffmpeg_command_frame_count(case)


def test_every_frame_in_shuffled_order_is_ffmpegs_picture_at_that_position(case):
    session = mbgauge.H264DecoderSession(case)
    pictures = ffmpeg_pictures(case)
    order = np.random.default_rng(11).permutation(len(pictures))
    errors = [d for f in order if (d := difference(session, int(f), pictures[int(f)]))]
    assert not errors, errors[:5]


def test_first_access_of_a_fresh_session_is_ffmpegs_picture(case):
    pictures = ffmpeg_pictures(case)
    picks = np.random.default_rng(5).choice(
        len(pictures), size=min(4, len(pictures)), replace=False
    )
    errors = [
        d
        for f in sorted(int(f) for f in picks)
        if (d := difference(mbgauge.H264DecoderSession(case), f, pictures[f]))
    ]
    assert not errors, errors


# --------------------------------------------------------------------------
# Streams that change size or format: the caller's buffer and the tools
# --------------------------------------------------------------------------

GUARD = 4096


@pytest.mark.parametrize(
    "name",
    ["size-change.264", "size-change.ts", "420-to-444.264", "8-to-10-bit.264", "10-to-8-bit.264"],
)
def test_copy_plane_to_ptr_never_writes_past_a_buffer_sized_from_the_properties(name):
    """Each plane goes into a buffer sized as the README shows, from the
    session's properties, followed by a guard region. A frame whose plane fits
    is copied exactly; one that does not, or whose samples are of another size
    than the buffer's, raises ValueError naming both sizes and writes nothing."""
    path = CASES[name]()
    session = mbgauge.H264DecoderSession(path)
    pictures = ffmpeg_pictures(path)
    dtype = np.uint16 if session.bytes_per_sample == 2 else np.uint8
    chroma_w, chroma_h = (session.width + 1) // 2, (session.height + 1) // 2
    shapes = [(session.height, session.width), (chroma_h, chroma_w), (chroma_h, chroma_w)]
    refused = set()
    for frame in range(session.num_frames):
        width, height, pix_fmt = session.get_frame_format(frame)
        for plane, shape in enumerate(shapes):
            size = shape[0] * shape[1] * np.dtype(dtype).itemsize
            memory = np.full(size + GUARD, 0xA5, np.uint8)
            buffer = memory[:size].view(dtype).reshape(shape)
            try:
                session.copy_plane_to_ptr(frame, plane, buffer.ctypes.data, buffer.strides[0])
            except ValueError as error:
                assert (memory == 0xA5).all(), (
                    f"frame {frame} plane {plane}: written before refusing"
                )
                assert f"{width}x{height} {pix_fmt}" in str(error), str(error)
                assert f"{session.width}x{session.height} {session.pix_fmt}" in str(error)
                refused.add(frame)
                continue
            assert (memory[size:] == 0xA5).all(), f"frame {frame} plane {plane}: guard overwritten"
            if plane == 0:
                assert np.array_equal(buffer[:height, :width], pictures[frame].luma), frame
    changed = {
        f
        for f in range(session.num_frames)
        if session.get_frame_format(f)[:2] != (session.width, session.height)
        or session.get_frame_format(f)[2] != session.pix_fmt
    }
    assert refused == changed and changed


def test_qp_command_reports_a_size_change_in_one_line(tmp_path):
    path = CASES["size-change.264"]()
    out = tmp_path / "maps.npz"
    result = subprocess.run(
        [str(Path(sys.executable).with_name("mbgauge")), "qp", str(path), "--out", str(out), "-q"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1, result.stderr
    # The earlier frame named is one of the same span of work (cores decide).
    assert re.search(r"frame 50 has 17x30 macroblocks but frame \d+ has 15x20", result.stderr)
    assert not out.exists()
    # Each part on its own exports fine.
    for frames, shape in (("0:50", (50, 15, 20)), ("50:", (30, 17, 30))):
        done = subprocess.run(
            [
                str(Path(sys.executable).with_name("mbgauge")),
                "qp",
                str(path),
                "--frames",
                frames,
                "--out",
                str(out),
                "-q",
                "--overwrite",
            ],
            capture_output=True,
        )
        assert done.returncode == 0
        with np.load(out) as saved:
            assert saved["qp_maps"].shape == shape


def test_heatmaps_follow_each_frames_own_size(tmp_path):
    from mbgauge_tools import plotting

    path = CASES["size-change.264"]()
    result = subprocess.run(
        [
            str(Path(sys.executable).with_name("mbgauge")),
            "heatmap",
            str(path),
            "--frames",
            "48:52",
            "--out",
            str(tmp_path),
            "-q",
        ],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    import matplotlib.image

    for frame, size in ((49, (320, 240)), (50, (480, 272))):
        image = matplotlib.image.imread(tmp_path / f"frame_{frame:06d}.png")
        assert (image.shape[1], image.shape[0]) == plotting.heatmap_size(*size), frame
