"""A session's life: the exceptions a path that cannot be opened raises,
close() and the context manager, and what Python's help shows."""

import errno
import pickle
import threading

import numpy as np
import pytest

import mbgauge
from tests.support import videos


@pytest.fixture(scope="module")
def clip():
    return videos.lavfi_h264("lifecycle", size="176x144", frames=12, extra=["-g", "6"])


@pytest.mark.parametrize(
    "make_path, os_error, code, reason",
    [
        (
            lambda tmp: tmp / "missing.mp4",
            FileNotFoundError,
            errno.ENOENT,
            "No such file or directory",
        ),
        (lambda tmp: tmp, IsADirectoryError, errno.EISDIR, "Is a directory"),
        # Refused even to root: /proc/sys checks the mode bits itself.
        (
            lambda tmp: "/proc/sys/vm/drop_caches",
            PermissionError,
            errno.EACCES,
            "Permission denied",
        ),
    ],
)
def test_an_unopenable_path_raises_both_runtime_error_and_the_os_error(
    tmp_path, make_path, os_error, code, reason
):
    path = str(make_path(tmp_path))
    with pytest.raises(os_error) as raised:
        mbgauge.H264DecoderSession(path)
    error = raised.value
    assert isinstance(error, RuntimeError)
    assert str(error) == f"Cannot open input video: {path} ({reason})"
    assert error.errno == code
    # Picklable, so that it can travel back from a worker process.
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error) and str(copy) == str(error)


def test_a_file_that_opens_but_is_no_video_stays_a_plain_runtime_error(tmp_path):
    garbage = tmp_path / "garbage.mp4"
    garbage.write_bytes(b"\x00" * 4096)
    with pytest.raises(RuntimeError) as raised:
        mbgauge.H264DecoderSession(str(garbage))
    assert not isinstance(raised.value, OSError)


def test_close_releases_the_session_and_later_queries_raise(clip):
    session = mbgauge.H264DecoderSession(str(clip))
    expected = session.get_qpmap(5)
    assert not session.closed
    session.close()
    assert session.closed
    for query, args in [
        ("get_qpmap", (5,)),
        ("get_plane_data", (5, 0)),
        ("get_chroma_qp_offset", (0,)),
        ("copy_plane_to_ptr", (0, 0, 1, 176)),
        ("get_qpmaps", ([7, 5],)),
        ("get_chroma_qp_offsets", ([9],)),
        ("get_planes", ([1], 0)),
    ]:
        with pytest.raises(ValueError, match=f"^Session is closed: {clip}$"):
            getattr(session, query)(*args)
    # The stream facts stay, and closing again is harmless.
    assert (session.width, session.num_frames, session.codec) == (176, 12, "h264")
    assert session.frame_table().size == 12
    session.close()
    assert np.array_equal(mbgauge.H264DecoderSession(str(clip)).get_qpmap(5), expected)


def test_context_manager_closes_on_exit_and_on_error(clip):
    with mbgauge.H264DecoderSession(str(clip)) as session:
        assert isinstance(session, mbgauge.H264DecoderSession)
        session.get_qpmap(3)
    assert session.closed
    with pytest.raises(KeyError):
        with mbgauge.H264DecoderSession(str(clip)) as failing:
            raise KeyError("inside")
    assert failing.closed


def test_close_waits_for_a_query_on_another_thread(clip):
    session = mbgauge.H264DecoderSession(str(clip))
    results, errors = [], []

    def decode_all():
        try:
            for frame in range(12):
                results.append(session.get_qpmap(frame))
        except ValueError as error:
            errors.append(error)

    worker = threading.Thread(target=decode_all)
    worker.start()
    session.close()
    worker.join()
    # Every query either completed before the close or was refused after it.
    assert all(qp.shape == (9, 11) for qp in results)
    assert len(results) == 12 or len(errors) == 1


@pytest.mark.parametrize("index", [np.int64(7), np.int32(7), np.uint16(7)])
def test_frame_arguments_accept_numpy_integers(clip, index):
    session = mbgauge.H264DecoderSession(str(clip))
    assert np.array_equal(session.get_qpmap(index), session.get_qpmap(7))
    assert np.array_equal(session.get_plane_data(index, np.int64(1)), session.get_plane_data(7, 1))
    assert session.get_chroma_qp_offset(index) == session.get_chroma_qp_offset(7)


def test_codec_is_ffmpegs_codec_name():
    mpeg2 = videos.ffmpeg_video(
        "lifecycle-mpeg2",
        ".ts",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=176x144:rate=25",
        "-frames:v",
        "3",
        "-c:v",
        "mpeg2video",
    )
    assert mbgauge.H264DecoderSession(str(mpeg2)).codec == "mpeg2video"


def test_properties_have_docstrings_in_help():
    cls = mbgauge.H264DecoderSession
    for name in (
        "width",
        "height",
        "mb_cols",
        "mb_rows",
        "num_frames",
        "fps",
        "fps_num",
        "fps_den",
        "pix_fmt",
        "bytes_per_sample",
        "codec",
        "closed",
    ):
        assert getattr(cls, name).__doc__, name
    assert cls.__doc__.startswith("One opened video file")
