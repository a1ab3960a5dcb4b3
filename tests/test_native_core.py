"""The C++ session core on its own, without Python in the loop: runs each test
case of the native test programs in tests/cpp (built once per test run by the
native_programs fixture, against the session sources and the FFmpeg that the
mbgauge module runs on) as its own pytest case."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest

from tests.support import videos

PACKET_INDEX_CASES = [
    "closed_key_groups",
    "open_key_groups",
    "sparse_timestamps",
    "leading_packets_before_first_key",
    "leading_packets_first_without_pts",
    "packets_without_pts_are_not_frames",
    "discarded_packets_are_not_frames",
    "duplicate_pts_is_one_frame",
    "duplicate_pts_far_apart",
    "no_timestamps_no_frames",
    "long_stream",
    "previous_key_packet",
]

SESSION_CASES = [
    "fresh_session_state",
    "packet_table_of_bframe_file",
    "seek_targets_follow_key_frames",
    "audio_packets_not_indexed",
    "cache_hit_returns_same_record",
    "cache_evicts_oldest_insert",
    "first_request_decodes_from_key_frame",
    "forward_decode_limit",
    "other_key_group_seeks",
    "redecoded_frames_keep_cache_place",
    "random_order_matches_sequential",
    "records_outlive_cache_and_session",
    "odd_size_chroma_rounding",
    "out_of_range_index",
    "failed_request_reads_a_bounded_number_of_packets",
]

QP_CELLS_CASES = [
    "macroblocks_fill_their_own_cell",
    "blocks_without_size_count_as_macroblocks",
    "large_blocks_fill_every_cell_they_cover",
    "small_blocks_leave_the_cell_to_the_block_at_its_corner",
    "blocks_starting_outside_the_picture",
    "later_block_wins_a_cell",
    "values_beyond_int8_cells_are_refused_not_clamped",
    "vp9_quantiser_index_has_no_cells_but_blocks",
    "parameters_without_a_frame_quantiser_give_no_block",
    "blocks_come_in_raster_order_with_unclamped_qp",
    "record_keeps_blocks_vectors_and_fit",
]

X264 = ["-c:v", "libx264", "-preset", "veryfast"]


@pytest.fixture(scope="session")
def session_files() -> list[str]:
    """KEY=PATH arguments for test_session (the keys are described there)."""
    with_audio = videos.ffmpeg_video(
        "native-audio-video",
        ".mp4",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=64x64:rate=25",
        "-f",
        "lavfi",
        "-i",
        "sine=frequency=440:sample_rate=48000:duration=2",
        "-frames:v",
        "50",
        *X264,
        "-c:a",
        "aac",
    )
    files = {
        "bframes": videos.lavfi_h264(
            "native-bframes", size="128x96", frames=100, encoder=[*X264, "-bf", "3", "-g", "24"]
        ),
        "longgop": videos.lavfi_h264(
            "native-longgop",
            size="64x64",
            frames=500,
            encoder=[*X264, "-g", "1000", "-bf", "0", "-sc_threshold", "0"],
        ),
        "gop10": videos.lavfi_h264(
            "native-gop10",
            size="64x64",
            frames=40,
            encoder=[*X264, "-g", "10", "-bf", "0", "-sc_threshold", "0"],
        ),
        "av": with_audio,
        "videoonly": videos.ffmpeg_video(
            "native-video-only", ".mp4", "-i", str(with_audio), "-map", "0:v", "-c", "copy"
        ),
        "gop50": videos.lavfi_h264(
            "native-gop50",
            size="64x64",
            frames=600,
            encoder=[*X264, "-g", "50", "-bf", "2", "-sc_threshold", "0"],
        ),
        # testsrc (unlike testsrc2) keeps an odd size; libx264 refuses odd
        # 4:2:0 sizes, the mpeg4 encoder does not.
        "oddsize": videos.ffmpeg_video(
            "native-odd-size",
            ".avi",
            "-f",
            "lavfi",
            "-i",
            "testsrc=size=1281x721:rate=25",
            "-frames:v",
            "3",
            "-c:v",
            "mpeg4",
            "-pix_fmt",
            "yuv420p",
        ),
    }
    return [f"{key}={path}" for key, path in files.items()]


def _run(binary: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(binary), *args], capture_output=True, text=True, timeout=300)


def _assert_passed(result: subprocess.CompletedProcess) -> None:
    assert result.returncode == 0, (
        f"exit code {result.returncode}\n--- stdout\n{result.stdout}\n--- stderr\n{result.stderr}"
    )


@pytest.mark.parametrize(
    "binary, cases",
    [
        ("test_packet_index", PACKET_INDEX_CASES),
        ("test_session", SESSION_CASES),
        ("test_qp_cells", QP_CELLS_CASES),
    ],
)
def test_every_native_case_is_collected(native_programs, binary, cases):
    listed = _run(native_programs[binary], "--list")
    _assert_passed(listed)
    assert listed.stdout.split() == cases


@pytest.mark.parametrize("case", PACKET_INDEX_CASES)
def test_packet_index(native_programs, case):
    _assert_passed(_run(native_programs["test_packet_index"], "--run", case))


@pytest.mark.parametrize("case", QP_CELLS_CASES)
def test_qp_cells(native_programs, case):
    _assert_passed(_run(native_programs["test_qp_cells"], "--run", case))


@pytest.mark.parametrize("case", SESSION_CASES)
def test_session(native_programs, session_files, case):
    _assert_passed(_run(native_programs["test_session"], "--run", case, *session_files))
