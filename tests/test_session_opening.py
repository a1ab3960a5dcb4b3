"""Opening a file: stream choice, stream facts, the frame count and the
failures of construction."""

import ctypes
import logging
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from tests.support import videos
from tests.test_hevc import ffmpeg_exports_hevc_qp
from tests.test_outputs import MBGAUGE


def make(name, suffix=".mp4", **kwargs) -> Path:
    return videos.lavfi_h264(name, suffix, **kwargs)


def open_session(path) -> mbgauge.H264DecoderSession:
    return mbgauge.H264DecoderSession(str(path))


@pytest.mark.parametrize(
    "size, mb_cols, mb_rows",
    [
        ("1920x1080", 120, 68),
        ("1280x720", 80, 45),
        ("200x100", 13, 7),
    ],
)
def test_geometry_and_macroblock_grid(size, mb_cols, mb_rows):
    session = open_session(make(f"grid-{size}", size=size, frames=2))
    width, height = map(int, size.split("x"))
    assert (session.width, session.height) == (width, height)
    assert (session.mb_cols, session.mb_rows) == (mb_cols, mb_rows)


@pytest.mark.parametrize(
    "rate, suffix, expected",
    [
        ("30000/1001", ".mp4", (30000, 1001)),
        ("25", ".mkv", (25, 1)),
        # A raw stream declares no average rate; the demuxer's guess is used.
        ("25", ".h264", (25, 1)),
    ],
)
def test_frame_rate(rate, suffix, expected):
    session = open_session(make(f"rate-{rate.replace('/', '_')}", suffix, rate=rate, frames=5))
    assert (session.fps_num, session.fps_den) == expected
    assert session.fps == expected[0] / expected[1]


@pytest.mark.parametrize(
    "pix_fmt, bytes_per_sample", [("yuv420p", 1), ("yuv420p10le", 2), ("yuv444p", 1)]
)
def test_pixel_format_and_sample_size(pix_fmt, bytes_per_sample):
    session = open_session(make(f"fmt-{pix_fmt}", frames=3, extra=["-pix_fmt", pix_fmt]))
    assert (session.pix_fmt, session.bytes_per_sample) == (pix_fmt, bytes_per_sample)


@pytest.mark.parametrize("recipe", ["b-frames", "interleaved-audio", "audio-first"])
def test_num_frames_matches_what_ffmpeg_decodes(recipe):
    video = ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=3"]
    audio = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=3"]
    encode = ["-c:v", "libx264", "-bf", "3", "-g", "30", "-c:a", "aac"]
    if recipe == "b-frames":
        path = videos.ffmpeg_video(recipe, ".mp4", *video, "-c:v", "libx264", "-bf", "3")
    elif recipe == "interleaved-audio":
        path = videos.ffmpeg_video(recipe, ".mp4", *video, *audio, *encode)
    else:
        path = videos.ffmpeg_video(
            recipe, ".mp4", *audio, *video, *encode, "-map", "1:v", "-map", "0:a"
        )
    session = open_session(path)
    assert session.num_frames == videos.ffmpeg_frame_count(path) == 75
    assert (session.width, session.height) == (320, 240)


def test_first_video_stream_is_used_when_audio_comes_first():
    path = videos.ffmpeg_video(
        "audio-then-video",
        ".mkv",
        "-f",
        "lavfi",
        "-i",
        "sine=sample_rate=48000",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=160x96:rate=25",
        "-t",
        "1",
        "-map",
        "0:a",
        "-map",
        "1:v",
        "-c:a",
        "aac",
        "-c:v",
        "libx264",
    )
    session = open_session(path)
    assert (session.width, session.height, session.num_frames) == (160, 96, 25)


def test_first_of_two_video_streams_is_used():
    path = videos.ffmpeg_video(
        "two-video",
        ".mkv",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=176x144:rate=25",
        "-f",
        "lavfi",
        "-i",
        "testsrc=size=352x288:rate=25",
        "-t",
        "1",
        "-map",
        "0:v",
        "-map",
        "1:v",
        "-c:v",
        "libx264",
    )
    assert (open_session(path).width, open_session(path).height) == (176, 144)


def test_non_h264_stream_opens_like_h264():
    path = videos.ffmpeg_video(
        "mpeg4-part2",
        ".avi",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=320x240:rate=25",
        "-frames:v",
        "20",
        "-c:v",
        "mpeg4",
        "-q:v",
        "4",
    )
    session = open_session(path)
    assert (session.width, session.num_frames, session.pix_fmt) == (320, 20, "yuv420p")


# --- failures of construction ---------------------------------------------


def test_missing_file():
    path = "/nonexistent/dir/clip.mp4"
    with pytest.raises(RuntimeError) as error:
        open_session(path)
    assert str(error.value) == f"Cannot open input video: {path} (No such file or directory)"


def test_file_without_video():
    path = videos.ffmpeg_video(
        "audio-only",
        ".m4a",
        "-f",
        "lavfi",
        "-i",
        "sine=sample_rate=48000",
        "-t",
        "1",
        "-c:a",
        "aac",
    )
    with pytest.raises(RuntimeError) as error:
        open_session(path)
    assert str(error.value) == f"No video stream found in: {path}"


@pytest.fixture(scope="module")
def unknown_codec_mkv(tmp_path_factory) -> Path:
    mpeg4 = videos.ffmpeg_video(
        "mpeg4-mkv",
        ".mkv",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=64x64:rate=25",
        "-frames:v",
        "5",
        "-c:v",
        "mpeg4",
    )
    data = mpeg4.read_bytes()
    assert b"V_MPEG4/ISO/ASP" in data
    path = tmp_path_factory.mktemp("unknown") / "unknown-codec.mkv"
    path.write_bytes(data.replace(b"V_MPEG4/ISO/ASP", b"V_UNKNOWN/X/ASP"))
    return path


def test_video_stream_without_decoder(unknown_codec_mkv):
    with pytest.raises(RuntimeError) as error:
        open_session(unknown_codec_mkv)
    assert str(error.value) == "H.264 decoder not found"


@pytest.fixture(scope="module")
def mp4_without_media_data(tmp_path_factory) -> Path:
    """An MP4 whose index promises frames but whose media data is cut off."""
    full = make("faststart", frames=10, extra=["-movflags", "+faststart"])
    data = full.read_bytes()
    path = tmp_path_factory.mktemp("nopackets") / "cut.mp4"
    path.write_bytes(data[: data.index(b"mdat") + 4])
    return path


def test_video_stream_without_packets(mp4_without_media_data):
    with pytest.raises(RuntimeError) as error:
        open_session(mp4_without_media_data)
    assert str(error.value) == f"No video packets found in: {mp4_without_media_data}"


def test_stream_whose_frames_cannot_be_numbered(tmp_path):
    """A raw stream cut after its SPS and PPS: no picture's order can be read,
    and that is no empty file."""
    raw = videos.x264_video(
        "headless-h264",
        ".264",
        ["--bframes", "3", "--keyint", "infinite"],
        size="128x96",
        frames=30,
    ).read_bytes()
    path = tmp_path / "headless.264"
    path.write_bytes(raw[raw.index(b"\x00\x00\x01\x65") :])  # from the IDR slice on
    with pytest.raises(RuntimeError) as error:
        open_session(path)
    assert str(error.value) == (
        f"Cannot number the frames of: {path} (its packets have no "
        "timestamps and their display order cannot be read from the "
        "bitstream)"
    )


def test_garbage_file_cannot_be_opened(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_text("not a video\n" * 20)
    with pytest.raises(RuntimeError, match=r"^Cannot open input video: .*notes\.txt \(.+\)$"):
        open_session(path)


# --- FFmpeg's log level ----------------------------------------------------


def loaded_libavutil() -> ctypes.CDLL:
    maps = Path("/proc/self/maps").read_text().splitlines()
    paths = {line.split()[-1] for line in maps if "libavutil.so" in line}
    assert len(paths) == 1, paths
    return ctypes.CDLL(paths.pop())


@pytest.mark.parametrize("opener", ["success", "missing", "no-video", "no-packets"])
def test_log_level_is_unchanged_after_construction(opener, mp4_without_media_data):
    avutil = loaded_libavutil()
    paths = {
        "success": make("surface", frames=10),
        "missing": Path("/nonexistent.mp4"),
        "no-video": videos.ffmpeg_video(
            "audio-only",
            ".m4a",
            "-f",
            "lavfi",
            "-i",
            "sine=sample_rate=48000",
            "-t",
            "1",
            "-c:a",
            "aac",
        ),
        "no-packets": mp4_without_media_data,
    }
    previous = avutil.av_log_get_level()
    try:
        for level in (16, 40):
            avutil.av_log_set_level(level)
            try:
                open_session(paths[opener])
            except RuntimeError:
                assert opener != "success"
            assert avutil.av_log_get_level() == level
    finally:
        avutil.av_log_set_level(previous)


def test_log_level_is_unchanged_after_overlapping_opens():
    """Sessions opened on several threads at once each lower the level while
    they probe; when they are done, the level is the one from before (not the
    probing level, which would silence every later FFmpeg warning)."""
    avutil = loaded_libavutil()
    path = make("surface", frames=10)
    before = avutil.av_log_get_level()
    start = threading.Barrier(3)

    def open_many():
        start.wait()
        for _ in range(20):
            open_session(path)

    threads = [threading.Thread(target=open_many) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert avutil.av_log_get_level() == before


def test_sessions_of_one_file_are_independent():
    path = make("surface", frames=10)
    first, second = open_session(path), open_session(path)
    del first
    assert second.get_chroma_qp_offset(9) == second.get_chroma_qp_offset(9)
    assert sys.getrefcount(second) == 2


# --- FFmpeg's messages go to Python's logging ------------------------------


def joined_recordings() -> Path:
    # The join cuts a TS packet short, which the demuxer reports as corrupt.
    part = videos.lavfi_h264("log-part", ".ts", frames=10)
    return videos.made_video(
        "log-joined",
        ".ts",
        [str(part), str(part)],
        lambda out: out.write_bytes(part.read_bytes() * 2),
    )


def test_ffmpeg_warnings_reach_the_mbgauge_ffmpeg_logger(caplog):
    with caplog.at_level(logging.WARNING, logger="mbgauge.ffmpeg"):
        open_session(joined_recordings())
    records = [r for r in caplog.records if r.name == "mbgauge.ffmpeg"]
    # FFmpeg logs it as a warning.
    assert any(
        "Packet corrupt" in r.getMessage() and r.levelno == logging.WARNING for r in records
    ), [(r.levelname, r.getMessage()) for r in records]


@pytest.mark.parametrize("level, below_warning", [(logging.WARNING, False), (logging.DEBUG, True)])
def test_ffmpeg_messages_follow_the_loggers_level(caplog, level, below_warning):
    with caplog.at_level(level, logger="mbgauge.ffmpeg"):
        session = open_session(make("surface", frames=10))
        session.get_qpmap(5)
    quieter = [
        r for r in caplog.records if r.name == "mbgauge.ffmpeg" and r.levelno < logging.WARNING
    ]
    assert bool(quieter) is below_warning


def test_ffmpeg_writes_nothing_to_stderr_itself():
    code = (
        "import logging, sys, mbgauge\n"
        "logging.getLogger('mbgauge.ffmpeg').addHandler(logging.NullHandler())\n"
        "mbgauge.H264DecoderSession(sys.argv[1]).get_qpmap(12)\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code, str(joined_recordings())],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0 and result.stderr == "", result.stderr


# --- Pipes -------------------------------------------------------------------

GOP_12 = ["-g", "12", "-bf", "2"]


@pytest.mark.parametrize(
    "suffix, encoder",
    [
        (".h264", ["-c:v", "libx264", *GOP_12]),
        (".hevc", ["-c:v", "libx265", "-x265-params", "log-level=error", *GOP_12]),
        (".m2v", ["-c:v", "mpeg2video", *GOP_12]),
        (".mkv", ["-c:v", "libx264", *GOP_12]),
        (".mp4", ["-c:v", "libx264", *GOP_12]),
    ],
    ids=["raw H.264", "raw HEVC", "MPEG-2", "MKV", "MP4, index at the end"],
)
def test_a_pipe_reads_like_the_file_it_carries(tmp_path, suffix, encoder):
    """`cat clip | ... /dev/stdin`: a session reads every frame, in any order,
    and the command's two workers (two sessions of the one pipe) give the
    file's own statistics."""
    clip = videos.lavfi_h264("piped", suffix, frames=40, encoder=encoder)
    code = (
        "import sys, numpy, mbgauge\n"
        "s = mbgauge.H264DecoderSession('/dev/stdin')\n"
        "numpy.save(sys.argv[1], s.get_qpmaps(range(s.num_frames)))\n"
        "numpy.save(sys.argv[2], s.get_planes([s.num_frames - 1, 0, 20], 0))\n"
    )
    maps, planes = tmp_path / "maps.npy", tmp_path / "planes.npy"
    piped = subprocess.run(
        [sys.executable, "-c", code, str(maps), str(planes)],
        input=clip.read_bytes(),
        capture_output=True,
        timeout=120,
    )
    assert piped.returncode == 0, piped.stderr.decode()
    session = open_session(clip)
    last = session.num_frames - 1
    assert np.array_equal(np.load(maps), session.get_qpmaps(range(session.num_frames)))
    assert np.array_equal(np.load(planes), session.get_planes([last, 0, 20], 0))

    if suffix == ".hevc" and not ffmpeg_exports_hevc_qp():
        return  # the command's statistics need HEVC QPs (mbgauge's FFmpeg)
    csv = {}
    for name, source in (("pipe", "/dev/stdin"), ("file", str(clip))):
        csv[name] = tmp_path / f"{name}.csv"
        command = [MBGAUGE, "stats", source, "--csv", csv[name], "--workers", "2", "-q"]
        done = subprocess.run(command, input=clip.read_bytes(), capture_output=True, timeout=120)
        assert done.returncode == 0, done.stderr.decode()
    assert csv["pipe"].read_text() == csv["file"].read_text()


# --- Opening without the interpreter lock ----------------------------------


def test_other_threads_run_while_a_file_opens(tmp_path):
    """The session reads a FIFO that this process itself fills from its main
    thread: that only works while the opening thread lets go of the lock (in a
    child process, so that a regression fails on the timeout, not by hanging)."""
    code = (
        "import os, sys, threading, mbgauge\n"
        "fifo, source = sys.argv[1], sys.argv[2]\n"
        "found = {}\n"
        "opener = threading.Thread(target=lambda: found.update(\n"
        "    frames=mbgauge.H264DecoderSession(fifo).num_frames))\n"
        "opener.start()\n"
        "with open(fifo, 'wb') as writer:\n"
        "    writer.write(open(source, 'rb').read())\n"
        "opener.join()\n"
        "print(found['frames'])\n"
    )
    fifo = tmp_path / "video.ts"
    os.mkfifo(fifo)
    source = videos.lavfi_h264("fifo", ".ts", frames=10)
    result = subprocess.run(
        [sys.executable, "-c", code, str(fifo), str(source)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.stdout.strip() == "10", result.stderr


def test_interpreter_exits_cleanly_while_daemon_threads_decode():
    """At exit, Python ends daemon threads that ask for the interpreter lock
    back; one that is importing, opening, decoding, logging FFmpeg's warnings
    (this file has some), making its first array or closing at that moment
    must not abort the process."""
    code = (
        "import sys, threading, time, logging, mbgauge\n"
        "if sys.argv[3] == 'debug':\n"
        "    logging.basicConfig(level=logging.DEBUG, stream=open('/dev/null', 'w'))\n"
        "def decode_forever():\n"
        "    while True:\n"
        "        session = mbgauge.H264DecoderSession(sys.argv[1])\n"
        "        for frame in range(session.num_frames):\n"
        "            session.get_qpmap(frame)\n"
        "        session.get_qpmaps(range(0, session.num_frames, 7))\n"
        "        session.close()\n"
        "for _ in range(3):\n"
        "    threading.Thread(target=decode_forever, daemon=True).start()\n"
        "time.sleep(float(sys.argv[2]))\n"
    )
    path = joined_recordings()
    for delay in ("0.002", "0.01", "0.05", "0.1", "0.3", "1"):
        for logging_level in ("default", "debug"):
            result = subprocess.run(
                [sys.executable, "-c", code, str(path), delay, logging_level],
                capture_output=True,
                text=True,
                timeout=120,
            )
            assert result.returncode == 0, (delay, logging_level, result.stderr[-2000:])


@pytest.mark.parametrize("writer", ["none", "stalled"])
def test_ctrl_c_while_opening_raises_keyboard_interrupt(tmp_path, writer):
    """A FIFO without a writer blocks in open(); one whose writer stalls
    blocks in read(). Either way Ctrl-C ends the open with KeyboardInterrupt."""
    fifo = tmp_path / "video.ts"
    os.mkfifo(fifo)
    code = (
        "import sys, mbgauge\n"
        "print('opening', flush=True)\n"
        "mbgauge.H264DecoderSession(sys.argv[1])\n"
    )
    child = subprocess.Popen(
        [sys.executable, "-c", code, str(fifo)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    stalled = None
    try:
        assert child.stdout.readline().strip() == "opening"
        if writer == "stalled":
            stalled = open(fifo, "wb")
            stalled.write(videos.lavfi_h264("fifo", ".ts", frames=10).read_bytes()[: 188 * 20])
            stalled.flush()
        # Repeated, in case the first signal comes before the child blocks.
        for _ in range(100):
            time.sleep(0.2)
            child.send_signal(signal.SIGINT)
            if child.poll() is not None:
                break
        _, stderr = child.communicate(timeout=30)
    finally:
        child.kill()
        if stalled is not None:
            stalled.close()
    assert child.returncode != 0
    assert stderr.rstrip().splitlines()[-1] == "KeyboardInterrupt", stderr


def test_sessions_opened_in_threads_leave_ffmpeg_warnings_on(caplog, monkeypatch):
    """Opening quiets FFmpeg while it probes; many sessions opening at once
    must leave it as loud as before."""
    # The warning comes from reading the packets, which a reopen served by
    # the packet index cache does not do.
    monkeypatch.setenv("MBGAUGE_INDEX_CACHE", "off")
    path = str(joined_recordings())
    with ThreadPoolExecutor(max_workers=4) as pool:
        list(pool.map(lambda _: mbgauge.H264DecoderSession(path), range(200)))
    with caplog.at_level(logging.WARNING, logger="mbgauge.ffmpeg"):
        open_session(joined_recordings())
    assert any(
        "Packet corrupt" in r.getMessage() for r in caplog.records if r.name == "mbgauge.ffmpeg"
    )
