"""The four frame queries: results, argument handling and errors."""

import ctypes
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import mbgauge
from tests.support import videos


@pytest.fixture(scope="module")
def clip():
    return videos.lavfi_h264("queries", size="320x240", frames=30, extra=["-bf", "2", "-g", "12"])


@pytest.fixture
def session(clip):
    return mbgauge.H264DecoderSession(str(clip))


def test_qp_map_shape_type_and_range():
    path = videos.lavfi_h264("hd-queries", size="1920x1080", frames=2)
    qp = mbgauge.H264DecoderSession(str(path)).get_qpmap(1)
    assert (qp.shape, qp.dtype, qp.flags.c_contiguous, qp.flags.writeable) == (
        (68, 120),
        np.int8,
        True,
        True,
    )
    assert qp.base is None
    assert qp.min() >= 0 and qp.max() <= 51


def test_plane_arrays_span_the_decoder_stride(session):
    luma, cb, cr = (session.get_plane_data(4, p) for p in range(3))
    assert luma.dtype == cb.dtype == np.uint8
    assert luma.shape[0] == 240 and cb.shape[0] == cr.shape[0] == 120
    assert luma.shape[1] >= 320 and cb.shape[1] >= 160
    assert luma.flags.c_contiguous and luma.base is None


def test_ten_bit_planes_are_uint16():
    path = videos.lavfi_h264(
        "queries-10bit", size="320x240", frames=3, extra=["-pix_fmt", "yuv420p10le"]
    )
    session = mbgauge.H264DecoderSession(str(path))
    luma = session.get_plane_data(2, 0)
    assert luma.dtype == np.uint16 and luma.shape[0] == 240 and luma.shape[1] >= 320
    assert luma[:, :320].max() < 1024


def test_results_are_independent_copies(clip, session):
    luma = session.get_plane_data(3, 0)
    qp = session.get_qpmap(3)
    expected_luma, expected_qp = luma.copy(), qp.copy()
    luma[:] = 0
    qp[:] = -7
    assert np.array_equal(session.get_plane_data(3, 0), expected_luma)
    assert np.array_equal(session.get_qpmap(3), expected_qp)
    del session
    assert np.array_equal(expected_luma, mbgauge.H264DecoderSession(str(clip)).get_plane_data(3, 0))


def test_arrays_stay_valid_after_the_session_is_gone(clip):
    session = mbgauge.H264DecoderSession(str(clip))
    arrays = [session.get_qpmap(0), session.get_plane_data(0, 0), session.get_plane_data(0, 2)]
    expected = [a.copy() for a in arrays]
    del session
    for array, copy in zip(arrays, expected):
        assert np.array_equal(array, copy)


@pytest.mark.parametrize(
    "query", ["get_qpmap", "get_plane_data", "get_chroma_qp_offset", "copy_plane_to_ptr"]
)
@pytest.mark.parametrize("frame", [-1, 30, 2**31 - 1, -(2**31)])
def test_frame_index_out_of_bounds(session, query, frame):
    extra = {"get_plane_data": (7,), "copy_plane_to_ptr": (9, 0, 16)}.get(query, ())
    with pytest.raises(IndexError) as error:
        getattr(session, query)(frame, *extra)
    assert str(error.value) == f"Frame index out of bounds: {frame}"


@pytest.mark.parametrize("plane", [-1, 3, 2**31 - 1])
def test_invalid_plane_index(session, plane):
    buffer = np.zeros((240, 320), np.uint8)
    with pytest.raises(IndexError) as error:
        session.get_plane_data(0, plane)
    assert str(error.value) == "Invalid plane index"
    with pytest.raises(IndexError) as error:
        session.copy_plane_to_ptr(0, plane, buffer.ctypes.data, 320)
    assert str(error.value) == "Invalid plane index"
    assert not buffer.any()


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.get_qpmap(1.0),
        lambda s: s.get_plane_data(0, 0.0),
        lambda s: s.get_chroma_qp_offset("1"),
        lambda s: s.copy_plane_to_ptr(0, 0, -1, 16),
        lambda s: s.copy_plane_to_ptr(0, 0, 2**64, 16),
        lambda s: s.get_qpmap(),
    ],
)
def test_bad_argument_types_raise_type_error(session, call):
    with pytest.raises(TypeError):
        call(session)


def test_integer_like_arguments_are_accepted(session):
    assert session.get_qpmap(np.int64(2)).shape == (15, 20)
    assert session.get_plane_data(frame_idx=np.int32(2), plane=True).shape[0] == 120
    assert session.get_chroma_qp_offset(frame_idx=2) == session.get_chroma_qp_offset(np.uint8(2))


def test_chroma_offsets_are_a_tuple_of_ints(session):
    offsets = session.get_chroma_qp_offset(5)
    assert type(offsets) is tuple and len(offsets) == 2
    assert all(type(value) is int for value in offsets)


# --- copy_plane_to_ptr -----------------------------------------------------


@pytest.mark.parametrize("plane, width, height", [(0, 320, 240), (1, 160, 120), (2, 160, 120)])
@pytest.mark.parametrize("extra", [0, 7, 64])
def test_copy_writes_visible_rows_at_the_given_stride(session, plane, width, height, extra):
    stride = width + extra
    destination = np.full((height, stride), 0xAB, np.uint8)
    session.copy_plane_to_ptr(6, plane, destination.ctypes.data, stride)
    expected = session.get_plane_data(6, plane)[:, :width]
    assert np.array_equal(destination[:, :width], expected)
    assert (destination[:, width:] == 0xAB).all()


def test_copy_with_narrow_stride_truncates_rows(session):
    destination = np.full(240 * 100 + 16, 0xCD, np.uint8)
    session.copy_plane_to_ptr(6, 0, destination.ctypes.data, 100)
    rows = destination[: 240 * 100].reshape(240, 100)
    assert np.array_equal(rows, session.get_plane_data(6, 0)[:, :100])
    assert (destination[240 * 100 :] == 0xCD).all()


def test_copy_with_zero_stride_writes_nothing(session):
    # A null address is fine when no byte is to be written.
    session.copy_plane_to_ptr(6, 0, 0, 0)
    buffer = np.full(64, 0x11, np.uint8)
    session.copy_plane_to_ptr(6, 0, buffer.ctypes.data, 0)
    assert (buffer == 0x11).all()


def test_copy_rejects_negative_stride_and_null_address(session):
    buffer = np.full((240, 320), 0x22, np.uint8)
    with pytest.raises(ValueError):
        session.copy_plane_to_ptr(6, 0, buffer.ctypes.data + 320 * 239, -320)
    with pytest.raises(ValueError):
        session.copy_plane_to_ptr(6, 0, 0, 320)
    assert (buffer == 0x22).all()


def test_copy_into_ctypes_buffer_matches_plane(session):
    buffer = (ctypes.c_uint8 * (160 * 120))()
    session.copy_plane_to_ptr(11, 2, ctypes.addressof(buffer), 160)
    copied = np.frombuffer(buffer, np.uint8).reshape(120, 160)
    assert np.array_equal(copied, session.get_plane_data(11, 2)[:, :160])


# --- interpreter lock and threads ------------------------------------------


def test_decoding_releases_the_interpreter_lock():
    path = videos.lavfi_h264(
        "gil-long", size="1280x720", frames=120, extra=["-g", "1000", "-bf", "0"]
    )
    session = mbgauge.H264DecoderSession(str(path))
    ticks = 0
    done = threading.Event()

    def decode():
        session.get_qpmap(119)  # one call decodes the whole key group
        done.set()

    worker = threading.Thread(target=decode)
    worker.start()
    while not done.is_set():
        ticks += 1
        time.sleep(0.001)
    worker.join()
    assert ticks > 5


def test_threads_sharing_one_session_get_right_answers(clip):
    reference = mbgauge.H264DecoderSession(str(clip))
    expected = {f: (reference.get_qpmap(f), reference.get_plane_data(f, 0)) for f in range(30)}
    shared = mbgauge.H264DecoderSession(str(clip))
    failures = []

    def worker(seed):
        rng = np.random.default_rng(seed)
        for frame in rng.integers(0, 30, 60):
            qp, luma = shared.get_qpmap(int(frame)), shared.get_plane_data(int(frame), 0)
            if not (
                np.array_equal(qp, expected[frame][0]) and np.array_equal(luma, expected[frame][1])
            ):
                failures.append(int(frame))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_queries_without_numpy_need_no_numpy(clip):
    code = f"""
import ctypes, sys
sys.modules["numpy"] = None
import mbgauge
session = mbgauge.H264DecoderSession({str(clip)!r})
print(session.get_chroma_qp_offset(3))
buffer = (ctypes.c_uint8 * (320 * 240))()
session.copy_plane_to_ptr(3, 0, ctypes.addressof(buffer), 320)
print(sum(buffer) > 0)
for query in ("get_qpmap(3)", "get_plane_data(3, 0)"):
    try:
        eval("session." + query)
    except ImportError:
        print("ImportError")
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split("\n")
    assert lines[1:4] == ["True", "ImportError", "ImportError"]
