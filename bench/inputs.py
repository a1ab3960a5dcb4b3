"""Benchmark inputs, made with the ffmpeg command and libx264 and cached.

Each input is described by the ffmpeg command line that makes it; the cache
key is that command line plus the ffmpeg version line, so a changed recipe
makes a new file. The cache lives outside the checkout, in
~/.cache/mbgauge/bench (or $MBGAUGE_BENCH_CACHE).
"""

from __future__ import annotations

import functools
import hashlib
import json
import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

CACHE_DIR = Path(os.environ.get("MBGAUGE_BENCH_CACHE", Path.home() / ".cache/mbgauge/bench"))
FFMPEG = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"]

# A moving test picture with a little temporal noise, so that the encoder
# spends bits as it would on camera footage (about 7 Mbit/s at 1080p, CRF 23).
SOURCE = "testsrc2=size={size}:rate={rate},noise=alls=6:allf=t"
# Less noise: a typical stream, where parsing is a smaller share of decoding
# (about 2.8 Mbit/s at 1080p, CRF 28).
QUIET_SOURCE = "testsrc2=size={size}:rate={rate},noise=alls=1:allf=t"


@dataclass(frozen=True)
class Input:
    name: str
    description: str
    # ffmpeg arguments between the common options and the output file.
    args: tuple[str, ...]
    # Made from another input by stream copy (so it is not encoded again).
    loops_of: str | None = None
    loops: int = 1


def _encode(
    size: str,
    seconds: float,
    gop: int,
    preset: str = "medium",
    crf: int = 23,
    rate: int = 30,
    codec: str = "libx264",
    source: str = SOURCE,
) -> tuple[str, ...]:
    return (
        "-f",
        "lavfi",
        "-i",
        source.format(size=size, rate=rate),
        "-t",
        f"{seconds:g}",
        "-c:v",
        codec,
        "-preset",
        preset,
        "-crf",
        str(crf),
        "-g",
        str(gop),
        "-pix_fmt",
        "yuv420p",
        "-an",
    )


FULL_INPUTS = {
    i.name: i
    for i in [
        Input(
            "1080p-gop250",
            "1920x1080, 30 s at 30 fps, GOP 250, B-frames, medium, CRF 23",
            _encode("1920x1080", 30, 250),
        ),
        Input(
            "720p-gop250",
            "1280x720, 30 s at 30 fps, GOP 250, B-frames, medium, CRF 23",
            _encode("1280x720", 30, 250),
        ),
        Input(
            "1080p-gop12",
            "1920x1080, 30 s at 30 fps, GOP 12, B-frames, medium, CRF 23",
            _encode("1920x1080", 30, 12),
        ),
        Input(
            "720p-hevc",
            "1280x720 HEVC (x265), 5 s at 30 fps, GOP 250, B-frames, veryfast, CRF 28",
            _encode("1280x720", 5, 250, preset="veryfast", crf=28, codec="libx265"),
        ),
        Input(
            "1080p-2s",
            "1920x1080, 2 s at 30 fps, GOP 60, B-frames, medium, CRF 23",
            _encode("1920x1080", 2, 60),
        ),
        Input(
            "1080p-noisy-20s",
            "1920x1080, 20 s at 30 fps, GOP 60, B-frames, medium, CRF 23, noisy",
            _encode("1920x1080", 20, 60),
        ),
        Input(
            "1080p-typical-20s",
            "1920x1080, 20 s at 30 fps, GOP 60, B-frames, medium, CRF 28, little noise",
            _encode("1920x1080", 20, 60, crf=28, source=QUIET_SOURCE),
        ),
        Input(
            "1080p-hevc-20s",
            "1920x1080 HEVC (x265), 20 s at 30 fps, GOP 60, B-frames, fast, CRF 26, noisy",
            _encode("1920x1080", 20, 60, preset="fast", crf=26, codec="libx265"),
        ),
        Input(
            "720p-10min",
            "the 720p input looped 20 times by stream copy: 10 min, 18000 frames",
            (),
            loops_of="720p-gop250",
            loops=20,
        ),
        Input(
            "720p-1h",
            "the 720p input looped 120 times by stream copy: 1 hour, 108000 frames",
            (),
            loops_of="720p-gop250",
            loops=120,
        ),
    ]
}

# Tiny inputs for --quick (the test suite's smoke run).
QUICK_INPUTS = {
    i.name: i
    for i in [
        Input(
            "tiny-gop25",
            "320x240, 2 s at 30 fps, GOP 25, B-frames, veryfast",
            _encode("320x240", 2, 25, preset="veryfast"),
        ),
        Input(
            "tiny-gop6",
            "320x240, 2 s at 30 fps, GOP 6, B-frames, veryfast",
            _encode("320x240", 2, 6, preset="veryfast"),
        ),
        Input(
            "tiny-hevc",
            "320x240 HEVC (x265), 2 s at 30 fps, GOP 25, B-frames, veryfast",
            _encode("320x240", 2, 25, preset="veryfast", codec="libx265"),
        ),
        Input(
            "tiny-long",
            "the tiny GOP 25 input looped 5 times by stream copy",
            (),
            loops_of="tiny-gop25",
            loops=5,
        ),
    ]
}


@functools.cache
def _ffmpeg_version() -> str:
    return subprocess.run(
        ["ffmpeg", "-version"], capture_output=True, text=True, check=True
    ).stdout.splitlines()[0]


def input_path(item: Input, catalogue: dict[str, Input]) -> Path:
    """The cached file of an input, made first if it is missing."""
    if item.loops_of is not None:
        source = input_path(catalogue[item.loops_of], catalogue)
        recipe = ["loop", str(item.loops), source.name]
    else:
        source = None
        recipe = list(item.args)
    key = hashlib.sha256((_ffmpeg_version() + "\0".join(recipe)).encode()).hexdigest()[:12]
    path = CACHE_DIR / f"{item.name}-{key}.mp4"
    if path.exists():
        return path
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f"partial-{os.getpid()}-{path.name}")
    try:
        if source is not None:
            # -stream_loop shifts each repetition's timestamps after the last.
            command = [
                *FFMPEG,
                "-stream_loop",
                str(item.loops - 1),
                "-i",
                str(source),
                "-c",
                "copy",
                str(partial),
            ]
        else:
            command = [*FFMPEG, *item.args, str(partial)]
        subprocess.run(command, check=True)
        partial.rename(path)
    finally:
        partial.unlink(missing_ok=True)
    return path


def copies(path: Path, count: int) -> Path:
    """A directory of `count` hard links to one input (file_000.mp4, ...):
    many files of one kind, without encoding each."""
    directory = CACHE_DIR / f"{path.stem}-x{count}"
    if not directory.is_dir():
        partial = directory.with_name(f"partial-{os.getpid()}-{directory.name}")
        partial.mkdir(parents=True)
        for number in range(count):
            os.link(path, partial / f"file_{number:03d}{path.suffix}")
        partial.rename(directory)
    return directory


def not_videos(count: int) -> Path:
    """A directory of `count` small text files named like videos: each is
    an error row, so a run over them costs what the route itself costs."""
    directory = CACHE_DIR / f"not-video-x{count}"
    if not directory.is_dir():
        partial = directory.with_name(f"partial-{os.getpid()}-{directory.name}")
        partial.mkdir(parents=True)
        for number in range(count):
            (partial / f"file_{number:03d}.mp4").write_text("not a video\n")
        partial.rename(directory)
    return directory


def describe(path: Path) -> dict[str, object]:
    """Size, frame count, resolution and bit rate of an input, from ffprobe."""
    probe = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-select_streams",
            "v:0",
            "-show_entries",
            "stream=width,height,nb_frames,avg_frame_rate,bit_rate:format=duration,size",
            "-of",
            "json",
            str(path),
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    data = json.loads(probe.stdout)
    stream, fmt = data["streams"][0], data["format"]
    return {
        "width": stream["width"],
        "height": stream["height"],
        "frames": int(stream.get("nb_frames", 0)),
        "duration_s": float(fmt["duration"]),
        "bytes": int(fmt["size"]),
        "mbit_per_s": round(int(fmt["size"]) * 8 / float(fmt["duration"]) / 1e6, 2),
    }
