"""Damaged inputs: seed videos cut short, bit-flipped, overwritten and zeroed,
plus files that are no video at all. Each case is opened and queried in a
forked child with a time and memory limit; it passes when the child exits
normally, every failure being one of the documented Python exceptions and
every returned array having the documented shape.

    .venv/bin/python -m tests.support.damaged_corpus            # full corpus, figures
    .venv/bin/python -m tests.support.damaged_corpus --quick    # the subset the tests run
    .venv/bin/python -m tests.support.damaged_corpus --quick --parse-only

With --parse-only each case is instead decoded by the queries that read no
pixels (get_qpmaps, get_chroma_qp_offsets) with and without reconstructing the
pictures (MBGAUGE_PARSE_ONLY), and passes when both give the same answers,
errors included. Damaged HEVC with wavefront entry points, decoded by slice
threads, may give other answers from run to run with pictures too (FFmpeg
9.0.2): where the cases of that seed differ, they are counted as unstable,
not as failures.
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import signal
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from tests.support import crafted, videos

TIME_LIMIT_S = 10
MEMORY_LIMIT = 2 << 30
ALLOWED = (RuntimeError, IndexError, ValueError, MemoryError)
SRC = ["-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", "40"]
X264 = ["-c:v", "libx264", "-preset", "veryfast"]


def seed_files() -> dict[str, Path]:
    """Small files covering the codecs and containers users feed in."""
    hevc = videos.x265_video(
        "corpus-hevc", ["--bframes", "3", "--keyint", "12"], size="160x120", frames=40
    )
    return {
        "cabac-bframes-open-gop.mp4": videos.ffmpeg_video(
            "corpus-cabac",
            ".mp4",
            *SRC,
            *X264,
            "-bf",
            "3",
            "-g",
            "12",
            "-x264-params",
            "open-gop=1",
        ),
        "cavlc-baseline.mp4": videos.ffmpeg_video(
            "corpus-cavlc", ".mp4", *SRC, *X264, "-profile:v", "baseline", "-g", "15"
        ),
        "10bit.mkv": videos.ffmpeg_video(
            "corpus-10bit", ".mkv", *SRC, *X264, "-pix_fmt", "yuv420p10le", "-g", "15"
        ),
        "mpeg2.ts": videos.ffmpeg_video(
            "corpus-mpeg2", ".ts", *SRC, "-c:v", "mpeg2video", "-bf", "2", "-g", "12"
        ),
        "mpeg4-part2.avi": videos.ffmpeg_video(
            "corpus-mpeg4", ".avi", *SRC, "-c:v", "mpeg4", "-bf", "2", "-g", "12"
        ),
        "h264.mkv": videos.ffmpeg_video("corpus-mkv", ".mkv", *SRC, *X264, "-bf", "2", "-g", "10"),
        "faststart.mp4": videos.ffmpeg_video(
            "corpus-faststart", ".mp4", *SRC, *X264, "-g", "10", "-movflags", "+faststart"
        ),
        "raw.h264": videos.ffmpeg_video("corpus-raw", ".h264", *SRC, *X264, "-bf", "2", "-g", "10"),
        "raw.hevc": hevc,
        "hevc-remux.mp4": videos.ffmpeg_video("corpus-hevc", ".mp4", "-i", str(hevc), "-c", "copy"),
        # HEVC: wavefronts (entry points for slice threads), CU-level QP
        # deltas from adaptive quantisation, coding blocks down to 8x8; a
        # 10-bit stream cut into slices; a raw stream without timestamps.
        "hevc-wpp-aq.mkv": videos.libx265_video(
            "corpus-hevc-wpp",
            ".mkv",
            "crf=30:ctu=32:min-cu-size=8:qg-size=8:aq-mode=2:wpp=1:bframes=3:keyint=12",
            size="160x120",
            frames=40,
        ),
        "hevc-10bit-slices.mp4": videos.libx265_video(
            "corpus-hevc-10bit",
            ".mp4",
            "crf=30:ctu=16:slices=3:keyint=15",
            size="160x120",
            frames=40,
            pix_fmt="yuv420p10le",
        ),
    }


@dataclass
class Case:
    name: str
    data: bytes | None  # None: a directory
    suffix: str


def derived_cases(
    seed_name: str, data: bytes, truncations: int, flips: int, bursts: int, zeroed: int
) -> list[Case]:
    rng = random.Random(seed_name)
    suffix = Path(seed_name).suffix
    cases = [
        Case(f"{seed_name}/cut-{i}", data[: len(data) * i // (truncations + 1)], suffix)
        for i in range(1, truncations + 1)
    ]
    for i in range(flips):
        damaged = bytearray(data)
        damaged[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        cases.append(Case(f"{seed_name}/flip-{i}", bytes(damaged), suffix))
    for i in range(bursts):
        damaged = bytearray(data)
        start, length = rng.randrange(len(data)), rng.randint(1, 64)
        damaged[start : start + length] = rng.randbytes(length)
        cases.append(Case(f"{seed_name}/burst-{i}", bytes(damaged[: len(data)]), suffix))
    for i in range(zeroed):
        damaged = bytearray(data)
        start, length = rng.randrange(len(data)), rng.randint(16, 4096)
        damaged[start : start + length] = bytes(min(length, len(data) - start))
        cases.append(Case(f"{seed_name}/zeroed-{i}", bytes(damaged), suffix))
    return cases


def special_cases() -> list[Case]:
    png = videos.ffmpeg_video(
        "corpus-png", ".png", "-f", "lavfi", "-i", "testsrc2=size=64x64", "-frames:v", "1"
    )
    rng = random.Random("specials")
    return [
        Case("empty", b"", ".mp4"),
        Case("one-byte", b"\x00", ".mp4"),
        Case("random-1k", rng.randbytes(1024), ".mp4"),
        Case("text", b"this is not a video\n" * 50, ".txt"),
        Case("png", png.read_bytes(), ".png"),
        Case("directory", None, ""),
        Case("claims-65535x65535", crafted.h264_stream_claiming(65535, 65535), ".h264"),
        Case("claims-16000x16000", crafted.h264_stream_claiming(16000, 16000), ".h264"),
        Case("claims-8192x4352", crafted.h264_stream_claiming(8192, 4352), ".h264"),
    ]


def corpus(quick: bool) -> list[Case]:
    cases = special_cases()
    seeds = seed_files()
    if quick:
        for name in (
            "cabac-bframes-open-gop.mp4",
            "mpeg2.ts",
            "raw.h264",
            "raw.hevc",
            "hevc-wpp-aq.mkv",
        ):
            cases += derived_cases(name, seeds[name].read_bytes(), 16, 40, 12, 12)
    else:
        for name, path in seeds.items():
            cases += derived_cases(name, path.read_bytes(), 64, 200, 50, 50)
    return cases


def exercise(path: str) -> None:
    """Opens the file and runs every query on a few frames; raises
    AssertionError for a result of the wrong shape or type."""
    import numpy as np

    import mbgauge

    # Every other case with motion vectors exported too.
    motion_vectors = random.Random(path).random() < 0.5
    session = mbgauge.H264DecoderSession(path, motion_vectors=motion_vectors)
    count = session.num_frames
    frames = sorted({0, count // 2, count - 1, random.Random(path).randrange(max(count, 1))})
    for frame in frames:
        try:
            blocks = session.get_qp_blocks(frame)
            assert blocks.dtype.names == ("x", "y", "w", "h", "qp"), blocks.dtype
            if motion_vectors:
                vectors = session.get_motion_vectors(frame)
                assert vectors.ndim == 1 and vectors.dtype.itemsize == 40, vectors.dtype
            qp = session.get_qpmap(frame)
            assert qp.dtype == np.int8 and qp.ndim == 2, qp
            assert (qp >= -1).all()
            offsets = session.get_chroma_qp_offset(frame)
            assert isinstance(offsets, tuple) and len(offsets) == 2
            for plane in range(3):
                data = session.get_plane_data(frame, plane)
                assert data.dtype in (np.uint8, np.uint16) and data.ndim == 2
                buffer = np.zeros(data.shape[0] * data.shape[1] + 64, data.dtype)
                session.copy_plane_to_ptr(frame, plane, buffer.ctypes.data, data.strides[0])
                assert not buffer[-32:].any(), "copy wrote past the rows it was given"
            # Last: on an FFmpeg without the block structure it raises.
            coding = session.get_coding_blocks(frame)
            assert coding.ndim == 1 and coding.dtype.names[:4] == ("x", "y", "w", "h")
            assert ((coding["w"] > 0) & (coding["h"] > 0)).all()
        except ALLOWED:
            pass


def syntax_answers(path: str) -> list[object]:
    """Every frame's QP map and chroma offsets from the batch queries, one
    frame per call in display order, or the error each call raised; the
    error of opening the file when that fails."""
    import mbgauge

    try:
        session = mbgauge.H264DecoderSession(path)
    except ALLOWED as error:
        return [f"{type(error).__name__}: {error}"]
    answers: list[object] = []
    for frame in range(session.num_frames):
        try:
            maps = session.get_qpmaps([frame])
            offsets = session.get_chroma_qp_offsets([frame])
            answers.append((maps.shape, maps.tobytes(), offsets.tobytes()))
        except ALLOWED as error:
            answers.append(f"{type(error).__name__}: {error}")
    return answers


# Seeds whose damaged cases may decode differently from run to run (none
# since the HEVC decoder stops wavefront rows by their dependencies).
UNSTABLE_SEEDS: tuple[str, ...] = ()
DIFFERS = "differs without pictures"


def compare_parse_only(path: str) -> str:
    """'ok' when the answers without reconstruction equal those with it,
    'unstable' when two runs with reconstruction disagree; raises
    AssertionError naming the first frame that differs."""

    def answers(parse_only: str) -> list[object]:
        os.environ["MBGAUGE_PARSE_ONLY"] = parse_only
        return syntax_answers(path)

    with_pictures = answers("0")
    if answers("0") != with_pictures:
        return "unstable"
    without = answers("1")
    if without == with_pictures:
        return "ok"
    if len(without) != len(with_pictures):
        raise AssertionError(f"{len(without)} answers without pictures, {len(with_pictures)} with")
    first = next(i for i, pair in enumerate(zip(without, with_pictures)) if pair[0] != pair[1])
    raise AssertionError(f"frame {first} {DIFFERS}")


def run_case(case: Case, directory: Path, work: Callable[[str], str | None] = exercise) -> str:
    """'ok' (or what `work` returned), or what went wrong in the child."""
    path = directory / f"case{case.suffix}"
    if case.data is None:
        path = directory / "a-directory"
        path.mkdir(exist_ok=True)
    else:
        path.write_bytes(case.data)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
        signal.alarm(TIME_LIMIT_S * (3 if work is compare_parse_only else 1))
        status, message = 0, b""
        try:
            message = (work(str(path)) or "").encode()
        except ALLOWED:
            pass
        except BaseException as error:  # noqa: BLE001 - the child reports everything
            status, message = 3, f"{type(error).__name__}: {error}".encode()
        os.write(write_end, message[:2000])
        os._exit(status)
    os.close(write_end)
    _, status = os.waitpid(pid, 0)
    message = os.read(read_end, 4096).decode(errors="replace")
    os.close(read_end)
    if os.WIFSIGNALED(status):
        signal_name = signal.Signals(os.WTERMSIG(status)).name
        return "timeout" if signal_name == "SIGALRM" else f"killed by {signal_name}"
    if os.WEXITSTATUS(status) != 0:
        return f"exit {os.WEXITSTATUS(status)}: {message}"
    return message or "ok"


def run_corpus(
    quick: bool, directory: Path, work: Callable[[str], str | None] = exercise
) -> dict[str, str]:
    import numpy  # noqa: F401

    import mbgauge  # noqa: F401 - imported once, before forking

    return {case.name: run_case(case, directory, work) for case in corpus(quick)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="only the subset the tests run")
    parser.add_argument("--workdir", type=Path, default=Path("/tmp/mbgauge-corpus"))
    parser.add_argument(
        "--parse-only",
        action="store_true",
        help="compare the answers without reconstruction with those with it",
    )
    args = parser.parse_args()
    args.workdir.mkdir(parents=True, exist_ok=True)
    # FFmpeg reports every damaged packet; the figures are what matters here.
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    started = time.monotonic()
    results = run_corpus(
        args.quick, args.workdir, compare_parse_only if args.parse_only else exercise
    )
    unstable = [
        name
        for name, result in results.items()
        if (result == "unstable" or DIFFERS in result) and name.startswith(UNSTABLE_SEEDS)
    ]
    if unstable:
        print(f"{len(unstable)} unstable cases not compared: {', '.join(sorted(unstable))}")
    failures = {
        name: result for name, result in results.items() if result != "ok" and name not in unstable
    }
    for name, result in sorted(failures.items()):
        print(f"FAIL {name}: {result}")
    passed = len(results) - len(failures)
    print(
        f"{passed} passed, {len(failures)} failed "
        f"({passed / len(results):.1%} of {len(results)} cases in {time.monotonic() - started:.0f} s)"
    )
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
