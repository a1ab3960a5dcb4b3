"""Videos read through file objects and URLs (HTTP with byte ranges, S3 on a
local moto server): the same frames as the local file, few and large reads,
and clear errors for what cannot be read."""

from __future__ import annotations

import io
import shutil
import traceback
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from tests.support import servers, videos
from tests.test_hevc import ffmpeg_exports_hevc_qp

fsspec = pytest.importorskip("fsspec")

CONTAINERS = [".mp4", ".mkv", ".ts"]


def clip(suffix: str) -> Path:
    # Two key groups and B pictures, so that random access seeks.
    return videos.lavfi_h264(
        "remote-clip",
        suffix,
        frames=60,
        encoder=["-c:v", "libx264", "-preset", "veryfast", "-g", "24", "-bf", "2"],
    )


def all_qpmaps(session) -> np.ndarray:
    return session.get_qpmaps(list(range(session.num_frames)))


def assert_same_frames(session, local: Path, frames=(0, 37, 5, 59, 24)) -> None:
    """QP maps of every frame equal the local file's; the pictures of some
    frames equal ffmpeg's decode without in-loop filtering."""
    with mbgauge.H264DecoderSession(str(local)) as reference:
        assert session.num_frames == reference.num_frames
        np.testing.assert_array_equal(all_qpmaps(session), all_qpmaps(reference))
    expected = videos.ffmpeg_reference_frames(local, session.width, session.height)
    for frame in frames:
        for plane, (got, want) in enumerate(
            zip(videos.visible_planes(session, frame), expected[frame])
        ):
            assert np.array_equal(got, want), f"frame {frame} plane {plane}"


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    directory = tmp_path_factory.mktemp("served")
    for suffix in CONTAINERS:
        shutil.copy(clip(suffix), directory / f"clip{suffix}")
    shutil.copy(clip(".mp4"), directory / "private.mp4")
    (directory / "notes.dat").write_bytes(b"not a video\n" * 4000)
    with servers.RangeServer(directory) as server:
        yield server


@pytest.fixture
def no_index_cache(monkeypatch):
    monkeypatch.setenv("MBGAUGE_INDEX_CACHE", "off")


class ReadOnly:
    """A file object with seek and read only (no readinto)."""

    def __init__(self, data: bytes) -> None:
        self._data, self._position = data, 0

    def seek(self, offset: int, whence: int = 0) -> int:
        self._position = [0, self._position, len(self._data)][whence] + offset
        return self._position

    def read(self, size: int = -1) -> bytes:
        chunk = self._data[self._position : self._position + size]
        self._position += len(chunk)
        return chunk

    def close(self) -> None:
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        pass


@pytest.mark.parametrize("suffix", CONTAINERS)
@pytest.mark.parametrize("kind", ["open file", "BytesIO", "fsspec file", "read only"])
def test_file_objects_give_the_local_frames(kind, suffix):
    local = clip(suffix)
    if kind == "open file":
        file = open(local, "rb")  # noqa: SIM115
    elif kind == "BytesIO":
        file = io.BytesIO(local.read_bytes())
    elif kind == "fsspec file":
        file = fsspec.open(f"file://{local}", "rb").open()
    else:
        file = ReadOnly(local.read_bytes())
    with file, mbgauge.H264DecoderSession(file, read_size=32 << 10) as session:
        assert_same_frames(session, local)


@pytest.mark.parametrize("read_size", [0, -1])
def test_read_size_must_be_positive(read_size):
    with pytest.raises(ValueError, match="read_size"):
        mbgauge.H264DecoderSession(io.BytesIO(b""), read_size=read_size)


@pytest.mark.parametrize("suffix", CONTAINERS)
def test_http_url_gives_the_local_frames(served, suffix):
    with mbgauge.H264DecoderSession(f"{served.url}/clip{suffix}") as session:
        assert_same_frames(session, clip(suffix))


def test_file_url_is_the_local_file():
    local = clip(".mp4")
    with mbgauge.H264DecoderSession(f"file://{local}") as session:
        assert_same_frames(session, local, frames=(3,))


def big_clip() -> Path:
    """Several MiB of noisy pictures, so that what opening reads besides the
    packets (headers, the index at the end) is small beside the file."""
    return videos.lavfi_h264(
        "remote-big",
        ".mp4",
        size="640x360",
        frames=60,
        encoder=["-c:v", "libx264", "-preset", "ultrafast", "-crf", "16"],
        extra=["-vf", "noise=alls=12:allf=t"],
    )


# Opening reads the header, the index at the end and the packets once; what
# a read at each seek brings in beyond that (a request or two) is small for
# files of 20 requests or more (the benchmark measures 1 MiB requests on a
# 10-minute file).
@pytest.mark.parametrize("read_size", [256 << 10, 128 << 10])
def test_opening_reads_the_file_about_once_in_requests_of_read_size(
    no_index_cache, tmp_path, read_size
):
    shutil.copy(big_clip(), tmp_path / "big.mp4")
    size = (tmp_path / "big.mp4").stat().st_size
    with servers.RangeServer(tmp_path) as server:
        mbgauge.H264DecoderSession(f"{server.url}/big.mp4", read_size=read_size).close()
    assert size > 20 * read_size
    assert size <= server.bytes_sent <= 1.1 * size
    assert server.requests <= -(-size // read_size) + 4


def test_queries_from_many_threads_on_one_remote_session(served):
    local = clip(".mp4")
    with mbgauge.H264DecoderSession(str(local)) as reference:
        expected = {i: reference.get_qpmap(i) for i in range(reference.num_frames)}
    order = [(i * 17) % len(expected) for i in range(120)]
    with (
        mbgauge.H264DecoderSession(f"{served.url}/clip.mp4") as session,
        ThreadPoolExecutor(4) as pool,
    ):
        results = list(pool.map(session.get_qpmap, order))
    for frame, got in zip(order, results):
        assert np.array_equal(got, expected[frame]), f"frame {frame}"


def test_sessions_sharing_one_file_object_from_many_threads():
    local = clip(".ts")
    with mbgauge.H264DecoderSession(str(local)) as reference:
        expected = reference.get_qpmaps(list(range(reference.num_frames)))
    order = [(i * 23) % len(expected) for i in range(160)]
    with open(local, "rb") as file:
        sessions = [mbgauge.H264DecoderSession(file, read_size=4096) for _ in range(4)]
        with ThreadPoolExecutor(4) as pool:
            results = list(
                pool.map(lambda k: sessions[k % 4].get_qpmap(order[k]), range(len(order)))
            )
        for session in sessions:
            session.close()
    for frame, got in zip(order, results):
        assert np.array_equal(got, expected[frame]), f"frame {frame}"


@pytest.mark.parametrize(
    "name, error",
    [
        ("missing.mp4", mbgauge.InputNotFoundError),
        ("private.mp4", mbgauge.InputPermissionError),
    ],
)
def test_http_open_errors(served, name, error):
    url = f"{served.url}/{name}"
    with pytest.raises(error) as raised:
        mbgauge.H264DecoderSession(url)
    assert str(raised.value).startswith(f"Cannot open input video: {url} (")
    assert isinstance(raised.value, RuntimeError)


@pytest.mark.parametrize("name", ["clip.mp4", "missing.mp4", "notes.dat"])
def test_credentials_in_a_url_are_never_shown_nor_cached(served, name, tmp_path, monkeypatch):
    monkeypatch.setenv("MBGAUGE_INDEX_CACHE", str(tmp_path))
    host = served.url.split("://", 1)[1]
    url = f"http://reader:s3cr3t@{host}/{name}?X-Amz-Signature=t0ken"
    try:
        mbgauge.H264DecoderSession(url).close()
    except RuntimeError as error:
        text = "".join(traceback.format_exception(error))
        assert f"http://{host}/{name}" in text
        assert "s3cr3t" not in text and "t0ken" not in text
    else:
        assert name == "clip.mp4"
    for entry in tmp_path.iterdir():
        assert b"s3cr3t" not in entry.read_bytes() and b"t0ken" not in entry.read_bytes()


def test_remote_file_that_is_not_a_video_raises_runtime_error(served):
    url = f"{served.url}/notes.dat"
    with pytest.raises(
        RuntimeError, match="^Cannot (open input video|find stream info in): "
    ) as raised:
        mbgauge.H264DecoderSession(url)
    assert not isinstance(raised.value, OSError)


@pytest.mark.parametrize("drop_at", [300_000, 5_000_000])
def test_connection_dropping_mid_read_raises_a_clear_error(no_index_cache, tmp_path, drop_at):
    shutil.copy(big_clip(), tmp_path / "big.mp4")
    assert drop_at < (tmp_path / "big.mp4").stat().st_size
    with servers.RangeServer(tmp_path) as server:
        server.drop_after = drop_at
        with pytest.raises(OSError, match=r"^Cannot read .*big\.mp4 at byte \d+: ") as raised:
            mbgauge.H264DecoderSession(f"{server.url}/big.mp4", read_size=256 << 10)
    assert raised.value.__cause__ is not None


def test_connection_dropping_during_a_query_raises_and_the_session_recovers(served):
    if not ffmpeg_exports_hevc_qp():
        # Known gap: on FFmpeg 5.1 the read error is raised, but the session's
        # next decode of the TS fails instead of recovering.
        pytest.skip("recovery after a dropped read is shown on mbgauge's FFmpeg only")
    url = f"{served.url}/clip.ts"
    size = (served.directory / "clip.ts").stat().st_size
    with mbgauge.H264DecoderSession(url, read_size=64 << 10) as session:
        served.drop_after = size // 2
        try:
            with pytest.raises(OSError, match="^Cannot read "):
                session.get_qpmap(session.num_frames - 1)
        finally:
            served.drop_after = None
        assert_same_frames(session, clip(".ts"), frames=(session.num_frames - 1,))


class Unseekable(io.RawIOBase):
    def __init__(self, data: bytes) -> None:
        self._stream = io.BytesIO(data)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        return self._stream.readinto(buffer)


class FailingFile(io.BytesIO):
    """Raises on any read past `limit`."""

    def __init__(self, data: bytes, limit: int) -> None:
        super().__init__(data)
        self.limit = limit

    def readinto(self, buffer) -> int:
        if self.tell() + len(buffer) > self.limit:
            raise ConnectionResetError("peer went away")
        return super().readinto(buffer)


def test_unseekable_file_object_is_refused():
    with pytest.raises(ValueError, match="not seekable"):
        mbgauge.H264DecoderSession(Unseekable(clip(".mp4").read_bytes()))


def test_text_file_object_is_refused():
    with open(clip(".mp4"), encoding="latin-1") as text, pytest.raises(TypeError, match="binary"):
        mbgauge.H264DecoderSession(text)


def test_failing_file_object_raises_its_error_as_the_cause():
    data = clip(".ts").read_bytes()
    with pytest.raises(OSError, match="ConnectionResetError: peer went away") as raised:
        mbgauge.H264DecoderSession(FailingFile(data, len(data) // 2), read_size=4096)
    assert isinstance(raised.value.__cause__, ConnectionResetError)


def test_keyboard_interrupt_in_a_read_stays_keyboard_interrupt():
    class Interrupting(io.BytesIO):
        def readinto(self, buffer) -> int:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        mbgauge.H264DecoderSession(Interrupting(clip(".mp4").read_bytes()))


def test_file_object_is_left_open_and_a_url_file_is_closed(served):
    with open(clip(".mp4"), "rb") as file:
        mbgauge.H264DecoderSession(file).close()
        assert not file.closed
    opened = []
    real_open = fsspec.implementations.http.HTTPFileSystem.open

    def recording_open(self, *args, **kwargs):
        opened.append(real_open(self, *args, **kwargs))
        return opened[-1]

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(fsspec.implementations.http.HTTPFileSystem, "open", recording_open)
        mbgauge.H264DecoderSession(f"{served.url}/clip.mp4").close()
    assert len(opened) == 1 and opened[0].closed


@pytest.fixture(scope="module")
def s3_bucket():
    pytest.importorskip("s3fs")
    if servers.moto_executable() is None:
        pytest.skip("moto_server is not installed (scripts/setup.sh makes .venv-moto)")
    with servers.s3_endpoint():
        fs = fsspec.filesystem("s3", skip_instance_cache=True)
        fs.mkdir("videos")
        for suffix in CONTAINERS:
            fs.put_file(str(clip(suffix)), f"videos/clip{suffix}")
        yield "s3://videos", fs


@pytest.mark.parametrize("suffix", CONTAINERS)
def test_s3_url_gives_the_local_frames(s3_bucket, suffix):
    bucket, _ = s3_bucket
    with mbgauge.H264DecoderSession(f"{bucket}/clip{suffix}") as session:
        assert_same_frames(session, clip(suffix))


def test_missing_s3_object_is_input_not_found(s3_bucket):
    bucket, _ = s3_bucket
    with pytest.raises(mbgauge.InputNotFoundError, match=r"^Cannot open input video: s3://"):
        mbgauge.H264DecoderSession(f"{bucket}/missing.mp4")


def test_gs_url_gives_the_local_frames_and_a_missing_object_is_not_found():
    pytest.importorskip("gcsfs")
    if servers.server_executable("gcp-storage-emulator") is None:
        pytest.skip("gcp-storage-emulator is not installed (scripts/setup.sh makes .venv-moto)")
    with servers.gcs_endpoint():
        fs = fsspec.filesystem("gs", skip_instance_cache=True)
        fs.mkdir("videos")
        fs.put_file(str(clip(".mp4")), "videos/clip.mp4")
        with mbgauge.H264DecoderSession("gs://videos/clip.mp4") as session:
            assert_same_frames(session, clip(".mp4"))
        with pytest.raises(mbgauge.InputNotFoundError, match=r"^Cannot open input video: gs://"):
            mbgauge.H264DecoderSession("gs://videos/missing.mp4")
