"""The packet index cache: a reopened file gives what a first open gives,
without reading the file again; a changed file, a damaged entry or a cache
turned off never give a stale index."""

from __future__ import annotations

import os
import random
import shutil
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from mbgauge_tools.info import PROPERTIES
from tests.support import servers, videos

CONTAINERS = [".mp4", ".mkv", ".ts", ".h264", ".avi", ".mov"]
# Other codecs: (suffix, encoder); the stream facts a reopen restores
# without FFmpeg's probe differ by codec.
OTHER_CODECS = {
    "hevc 10-bit mp4": (
        ".mp4",
        ["-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-x265-params", "log-level=error"],
    ),
    "mpeg2 interlaced mkv": (".mkv", ["-c:v", "mpeg2video", "-flags", "+ilme+ildct", "-top", "1"]),
    "mpeg4 avi": (".avi", ["-c:v", "mpeg4", "-bf", "2"]),
}


def clip(suffix: str, frames: int = 60, name: str = "cache-clip", encoder=None) -> Path:
    return videos.lavfi_h264(
        name,
        suffix,
        frames=frames,
        encoder=encoder or ["-c:v", "libx264", "-preset", "veryfast", "-g", "20", "-bf", "2"],
    )


@pytest.fixture
def cache_dir(tmp_path, monkeypatch) -> Path:
    directory = tmp_path / "index-cache"
    monkeypatch.setenv("MBGAUGE_INDEX_CACHE", str(directory))
    return directory


def entries(directory: Path) -> list[Path]:
    return sorted(directory.glob("*.idx")) if directory.exists() else []


def answers(path: Path, frames: list[int]) -> tuple:
    """Everything the index (and FFmpeg's probe, which a reopen does not
    run) decides: the stream's facts, the frame table, and the QP maps and
    luma planes of frames visited in a random order (seeks)."""
    with mbgauge.H264DecoderSession(str(path)) as session:
        facts = [getattr(session, name) for name in PROPERTIES]
        table = session.frame_table()
        maps = [session.get_qpmap(i) for i in frames]
        planes = [session.get_plane_data(i, 0) for i in frames]
    return facts, table, maps, planes


@pytest.mark.parametrize(
    "suffix, encoder",
    [(suffix, None) for suffix in CONTAINERS] + list(OTHER_CODECS.values()),
    ids=CONTAINERS + list(OTHER_CODECS),
)
def test_reopened_file_gives_what_the_first_open_gave(cache_dir, suffix, encoder, monkeypatch):
    path = clip(suffix, encoder=encoder)
    frames = random.Random(suffix).sample(range(60), 12)
    monkeypatch.setenv("MBGAUGE_INDEX_CACHE", "off")
    facts, table, maps, planes = answers(path, frames)
    monkeypatch.setenv("MBGAUGE_INDEX_CACHE", str(cache_dir))
    answers(path, frames)  # fills the cache
    assert len(entries(cache_dir)) == 1
    cached_facts, cached_table, cached_maps, cached_planes = answers(path, frames)
    assert cached_facts == facts
    assert np.array_equal(cached_table, table)
    for frame, a, b, c, d in zip(frames, maps, cached_maps, planes, cached_planes):
        assert np.array_equal(a, b) and np.array_equal(c, d), f"frame {frame}"
    assert len(videos.ffprobe_frames(path)) == len(table)


@pytest.mark.parametrize("change", ["rewritten", "replaced by another file", "appended to"])
def test_changed_file_is_never_given_a_stale_index(cache_dir, tmp_path, change):
    path = tmp_path / "video.ts"
    shutil.copy(clip(".ts", frames=60), path)
    with mbgauge.H264DecoderSession(str(path)) as session:
        assert session.num_frames == 60
    stat = path.stat()
    other = clip(".ts", frames=40, name="cache-other")
    if change == "rewritten":
        path.write_bytes(other.read_bytes())
    elif change == "replaced by another file":
        shutil.copy(other, tmp_path / "new.ts")
        os.replace(tmp_path / "new.ts", path)
    else:
        with open(path, "ab") as file:
            file.write(clip(".ts", frames=30, name="cache-tail").read_bytes())
    # Same modification time as before: size or inode still tell them apart.
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    with mbgauge.H264DecoderSession(str(path)) as session:
        assert session.num_frames == len(videos.ffprobe_frames(path))


@pytest.mark.parametrize(
    "damage",
    [
        lambda data: data[: len(data) // 2],
        lambda data: data[:-1] + bytes([data[-1] ^ 1]),
        lambda data: data[:200] + bytes(b ^ 0x55 for b in data[200:260]) + data[260:],
        lambda data: b"",
        lambda data: data + b"x",
    ],
    ids=["truncated", "checksum", "scribbled", "empty", "trailing byte"],
)
def test_damaged_entry_is_ignored_and_rewritten(cache_dir, damage):
    path = clip(".mp4")
    frames = [0, 41, 17, 59]
    expected = answers(path, frames)
    (entry,) = entries(cache_dir)
    good = entry.read_bytes()
    entry.write_bytes(damage(good))
    got = answers(path, frames)
    assert got[0] == expected[0] and np.array_equal(got[1], expected[1])
    for a, b in zip(got[2] + got[3], expected[2] + expected[3]):
        assert np.array_equal(a, b)
    assert entry.read_bytes() == good


@pytest.mark.parametrize("setting", ["off", "0", "", "no"])
def test_cache_turned_off_writes_nothing(tmp_path, monkeypatch, setting):
    monkeypatch.setenv("MBGAUGE_INDEX_CACHE", setting)
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("XDG_CACHE_HOME", raising=False)
    with mbgauge.H264DecoderSession(str(clip(".mp4"))) as session:
        assert session.num_frames == 60
    assert not any(tmp_path.rglob("*.idx"))


@pytest.mark.parametrize("xdg", [True, False])
def test_default_cache_lives_in_the_user_cache_directory(tmp_path, monkeypatch, xdg):
    monkeypatch.delenv("MBGAUGE_INDEX_CACHE")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    if xdg:
        monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    else:
        monkeypatch.delenv("XDG_CACHE_HOME", raising=False)
    mbgauge.H264DecoderSession(str(clip(".mp4"))).close()
    root = tmp_path / "xdg" if xdg else tmp_path / "home" / ".cache"
    assert len(entries(root / "mbgauge" / "index")) == 1


def test_pipes_and_file_objects_are_not_cached(cache_dir):
    with open(clip(".mp4"), "rb") as file:
        mbgauge.H264DecoderSession(file).close()
    assert entries(cache_dir) == []


def test_reopen_over_http_reads_a_small_part_of_the_file(cache_dir, tmp_path):
    local = videos.lavfi_h264(
        "remote-big",
        ".mp4",
        size="640x360",
        frames=60,
        encoder=["-c:v", "libx264", "-preset", "ultrafast", "-crf", "16"],
        extra=["-vf", "noise=alls=12:allf=t"],
    )
    shutil.copy(local, tmp_path / "big.mp4")
    size = local.stat().st_size
    with servers.RangeServer(tmp_path) as server:
        url = f"{server.url}/big.mp4"
        mbgauge.H264DecoderSession(url, read_size=64 << 10).close()
        first = server.bytes_sent
        server.reset_counts()
        with mbgauge.H264DecoderSession(url, read_size=64 << 10) as session:
            reopen = server.bytes_sent
            assert np.array_equal(session.get_qpmap(59), answers(local, [59])[2][0])
    assert first >= size
    assert reopen < size // 10


def test_changed_object_behind_a_url_is_indexed_again(cache_dir, tmp_path):
    shutil.copy(clip(".ts"), tmp_path / "clip.ts")
    with servers.RangeServer(tmp_path) as server:
        url = f"{server.url}/clip.ts"
        mbgauge.H264DecoderSession(url).close()
        shutil.copy(clip(".ts", frames=40, name="cache-other"), tmp_path / "clip.ts")
        with mbgauge.H264DecoderSession(url) as session:
            assert session.num_frames == 40
