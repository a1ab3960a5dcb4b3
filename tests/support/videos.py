"""Test videos made with the ffmpeg, x264 and x265 commands, cached by recipe.

Every file is described by the command line that makes it; the cache key is
that command line plus the encoder versions, so changing a recipe remakes the
file. The cache lives outside the checkout (~/.cache/mbgauge/videos, or
$MBGAUGE_VIDEO_CACHE).
"""

from __future__ import annotations

import functools
import hashlib
import json
import os
import re
import subprocess
from pathlib import Path

import numpy as np

CACHE_DIR = Path(os.environ.get("MBGAUGE_VIDEO_CACHE", Path.home() / ".cache/mbgauge/videos"))
FFMPEG = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"]


@functools.cache
def _tool_versions() -> str:
    ffmpeg = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout
    x264 = subprocess.run(["x264", "--version"], capture_output=True, text=True).stdout
    return ffmpeg.splitlines()[0] + x264.splitlines()[0]


def _cached(name: str, suffix: str, recipe: list[str], make) -> Path:
    key = hashlib.sha256((_tool_versions() + "\0".join(recipe)).encode()).hexdigest()[:16]
    path = CACHE_DIR / f"{name}-{key}{suffix}"
    if not path.exists():
        CACHE_DIR.mkdir(parents=True, exist_ok=True)
        partial = path.with_name(f"partial-{os.getpid()}-{path.name}")
        make(partial)
        partial.rename(path)
    return path


def made_video(name: str, suffix: str, recipe: list[str], make) -> Path:
    """A file that `make(path)` writes, cached under the recipe it describes
    (the commands and inputs it uses, as text)."""
    return _cached(name, suffix, recipe, make)


def ffmpeg_video(name: str, suffix: str, *args: str) -> Path:
    """A file made by `ffmpeg ARGS OUTPUT`; OUTPUT's suffix picks the container."""

    def make(out: Path) -> None:
        subprocess.run([*FFMPEG, *args, str(out)], check=True)

    return _cached(name, suffix, list(args), make)


def lavfi_h264(
    name: str,
    suffix: str = ".mp4",
    *,
    size: str = "320x240",
    rate: str = "25",
    frames: int = 50,
    source: str = "testsrc2",
    encoder: list[str] | None = None,
    extra: list[str] | None = None,
) -> Path:
    """An H.264 file from a lavfi test source, encoded with libx264."""
    encoder = encoder if encoder is not None else ["-c:v", "libx264", "-preset", "veryfast"]
    return ffmpeg_video(
        name,
        suffix,
        "-f",
        "lavfi",
        "-i",
        f"{source}=size={size}:rate={rate}",
        "-frames:v",
        str(frames),
        *encoder,
        *(extra or []),
    )


def x264_video(
    name: str,
    suffix: str,
    x264_args: list[str],
    *,
    size: str = "320x240",
    frames: int = 60,
    qpfile: str | None = None,
) -> Path:
    """A file written by the x264 command itself (raw .264 or its own .mkv muxer)."""
    recipe = [size, str(frames), *x264_args, qpfile or ""]

    def make(out: Path) -> None:
        source = out.with_suffix(".y4m")
        subprocess.run(
            [
                *FFMPEG,
                "-f",
                "lavfi",
                "-i",
                f"testsrc2=size={size}:rate=25",
                "-frames:v",
                str(frames),
                "-pix_fmt",
                "yuv420p",
                str(source),
            ],
            check=True,
        )
        extra = []
        if qpfile is not None:
            qpfile_path = out.with_suffix(".qpfile")
            qpfile_path.write_text(qpfile)
            extra = ["--qpfile", str(qpfile_path)]
        # x264 picks its muxer from the output's suffix; keep it on the temp name.
        target = out.with_name(out.stem + "-x264" + suffix)
        subprocess.run(
            ["x264", "--quiet", *x264_args, *extra, "-o", str(target), str(source)],
            check=True,
            capture_output=True,
        )
        target.rename(out)
        source.unlink()
        if qpfile is not None:
            qpfile_path.unlink()

    return _cached(name, suffix, recipe, make)


@functools.cache
def _x265_version() -> str:
    # x265 prints its banner on stderr.
    return subprocess.run(["x265", "--version"], capture_output=True, text=True).stderr.split("\n")[
        0
    ]


def x265_video(
    name: str, x265_args: list[str], *, size: str = "128x96", frames: int = 60, depth: int = 8
) -> Path:
    """A raw HEVC stream (.hevc) written by the x265 command."""
    pix_fmt = "yuv420p" if depth == 8 else f"yuv420p{depth}le"
    recipe = [_x265_version(), size, str(frames), str(depth), *x265_args]

    def make(out: Path) -> None:
        source = out.with_suffix(".y4m")
        subprocess.run(
            [
                *FFMPEG,
                "-f",
                "lavfi",
                "-i",
                f"testsrc2=size={size}:rate=25",
                "-frames:v",
                str(frames),
                "-pix_fmt",
                pix_fmt,
                "-strict",
                "-1",
                str(source),
            ],
            check=True,
        )
        subprocess.run(
            [
                "x265",
                "--log-level",
                "error",
                "--output-depth",
                str(depth),
                *x265_args,
                "--input",
                str(source),
                "--output",
                str(out),
            ],
            check=True,
            capture_output=True,
        )
        source.unlink()

    return _cached(name, ".hevc", recipe, make)


def libx265_video(
    name: str,
    suffix: str,
    x265_params: str,
    *,
    size: str = "200x116",
    frames: int = 12,
    pix_fmt: str = "yuv420p",
    csv: bool = False,
) -> Path:
    """An HEVC file in a container, encoded by x265 through ffmpeg's libx265
    (which hands X265_PARAMS to x265's own option parser) from a lavfi test
    source. With csv, x265's per-frame log (level 2) is kept beside it, as .csv."""
    recipe = [size, str(frames), pix_fmt, x265_params, str(csv)]

    def make(out: Path) -> None:
        params = [x265_params, "log-level=error"]
        # The log goes under the final name at once: the video is renamed
        # into place after this, so a cached video always has its log.
        final = out.with_name(out.name.removeprefix(f"partial-{os.getpid()}-"))
        csv_path = final.with_suffix(".csv")
        if csv:
            params += [f"csv={csv_path}", "csv-log-level=2"]
        subprocess.run(
            [
                *FFMPEG,
                "-f",
                "lavfi",
                "-i",
                f"testsrc2=size={size}:rate=25",
                "-frames:v",
                str(frames),
                "-pix_fmt",
                pix_fmt,
                "-c:v",
                "libx265",
                "-x265-params",
                ":".join(params),
                str(out),
            ],
            check=True,
        )

    return _cached(name, suffix, recipe, make)


def ffmpeg_frame_count(path: Path) -> int:
    """Number of pictures the ffmpeg command decodes from the file."""
    result = subprocess.run(
        [
            "ffmpeg",
            "-hide_banner",
            "-nostdin",
            "-i",
            str(path),
            "-map",
            "0:v:0",
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


def ffprobe_frames(path: Path | str) -> list[dict]:
    """pts, key_frame, pict_type, pkt_size, width and height of every picture
    of the first video stream as ffprobe decodes them, in display order."""
    out = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-select_streams",
            "v:0",
            "-show_entries",
            "frame=pts,key_frame,pict_type,pkt_size,width,height",
            "-of",
            "json",
            str(path),
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return json.loads(out)["frames"]


def ffmpeg_reference_frames(
    path: Path,
    width: int,
    height: int,
    pix_fmt: str = "yuv420p",
    bytes_per_sample: int = 1,
    *,
    skip_loop_filter: bool = True,
) -> list[list[np.ndarray]]:
    """Every picture as the ffmpeg command decodes it without in-loop filters
    (or with them), in display order, as [Y, Cb, Cr] arrays of the visible
    size (4:2:0 only)."""
    skip = ["-skip_loop_filter", "all"] if skip_loop_filter else []
    raw = subprocess.run(
        [
            "ffmpeg",
            "-hide_banner",
            "-loglevel",
            "error",
            "-nostdin",
            *skip,
            "-i",
            str(path),
            "-map",
            "0:v:0",
            "-fps_mode",
            "passthrough",
            "-f",
            "rawvideo",
            "-pix_fmt",
            pix_fmt,
            "-",
        ],
        capture_output=True,
        check=True,
    ).stdout
    dtype = np.uint16 if bytes_per_sample == 2 else np.uint8
    cw, ch = (width + 1) // 2, (height + 1) // 2
    sizes = [(height, width), (ch, cw), (ch, cw)]
    frame_bytes = sum(h * w for h, w in sizes) * bytes_per_sample
    assert len(raw) % frame_bytes == 0
    frames = []
    for start in range(0, len(raw), frame_bytes):
        planes, offset = [], start
        for h, w in sizes:
            count = h * w * bytes_per_sample
            planes.append(np.frombuffer(raw[offset : offset + count], dtype=dtype).reshape(h, w))
            offset += count
        frames.append(planes)
    return frames


def visible_planes(session, frame_idx: int) -> list[np.ndarray]:
    """The three planes of a frame cut to their visible width."""
    cw, ch = (session.width + 1) // 2, (session.height + 1) // 2
    widths = [session.width, cw, cw]
    heights = [session.height, ch, ch]
    return [session.get_plane_data(frame_idx, p)[: heights[p], : widths[p]] for p in range(3)]
