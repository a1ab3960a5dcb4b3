"""The `mbgauge` command and the mbgauge_tools library, end to end on small
generated videos, checked against the extension's own per-frame queries."""

import ast
import csv
import io
import json
import math
import re
import subprocess
import sys
import threading
from pathlib import Path

import matplotlib.colors
import matplotlib.image
import numpy as np
import pytest

import mbgauge
import mbgauge_tools
from mbgauge_tools import cli, parallel, plotting
from mbgauge_tools.commands import qp as qp_command
from mbgauge_tools.frames import FrameRangeError, select_frames
from mbgauge_tools.stats import csv_lines, frame_stats, summary_lines
from tests.support import videos
from tests.support.terminal import stderr_on_terminal

MBGAUGE = Path(sys.executable).with_name("mbgauge")
REPO = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def clip():
    """Several GOPs with B-frames, and adaptive quantisation so that QP varies
    within and across frames."""
    return videos.lavfi_h264(
        "tools",
        size="320x240",
        frames=48,
        extra=["-bf", "2", "-g", "12", "-x264-params", "aq-mode=2"],
    )


@pytest.fixture(scope="module")
def small_clip():
    return videos.lavfi_h264(
        "tools-small", size="176x144", frames=10, extra=["-x264-params", "aq-mode=2"]
    )


@pytest.fixture(scope="module")
def audio_only():
    return videos.ffmpeg_video("tools-audio", ".m4a", "-f", "lavfi", "-i", "sine=duration=0.5")


def reference(path, frames):
    """QP maps and chroma offsets of the frames, one query at a time."""
    session = mbgauge.H264DecoderSession(str(path))
    maps = np.stack([session.get_qpmap(f) for f in frames])
    offsets = np.array([session.get_chroma_qp_offset(f) for f in frames])
    return maps, offsets


def run(capsys, *args):
    """The command in this process: (exit status, stdout, stderr)."""
    status = cli.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err


def read_png(path_or_bytes):
    source = io.BytesIO(path_or_bytes) if isinstance(path_or_bytes, bytes) else path_or_bytes
    return matplotlib.image.imread(source, format="png")


def worker_threads():
    return [t for t in threading.enumerate() if t.name.startswith("mbgauge-worker")]


# Frame selections


@pytest.mark.parametrize(
    "selection, frames",
    [
        (None, range(10)),
        ("2:5", [2, 3, 4]),
        ("7:", [7, 8, 9]),
        (":3", [0, 1, 2]),
        ("-3:", [7, 8, 9]),
        ("0:10:4", [0, 4, 8]),
        ("4", [4]),
        ("-1", [9]),
        (9, [9]),
        (slice(1, 3), [1, 2]),
        ([3, 1], [3, 1]),
    ],
)
def test_frame_selections(selection, frames):
    assert list(select_frames(selection, 10)) == list(frames)


@pytest.mark.parametrize(
    "selection", ["5:5", "8:3", "0:11", "10", "-11:", "a:b", "1:2:0", "1-3", "", 10, [], [0, 10]]
)
def test_bad_frame_selections_are_refused(selection):
    with pytest.raises(FrameRangeError):
        select_frames(selection, 10)


# The library


def test_library_agrees_with_per_frame_queries(clip, tmp_path):
    frames = range(5, 40)
    maps, offsets = reference(clip, frames)

    streamed = list(mbgauge_tools.iter_qp_maps(clip, "5:40", workers=3))
    assert [index for index, _ in streamed] == list(frames)
    assert np.array_equal(np.stack([qp for _, qp in streamed]), maps)

    gathered = mbgauge_tools.read_qp_maps(clip, range(5, 40), workers=3)
    gathered.save(tmp_path / "maps.npz")
    loaded = mbgauge_tools.QpMaps.load(tmp_path / "maps.npz")
    for result in (gathered, loaded):
        assert list(result.frames) == list(frames)
        assert np.array_equal(result.qp_maps, maps) and result.qp_maps.dtype == np.int8
        assert np.array_equal(result.chroma_qp_offsets, offsets)

    stats = mbgauge_tools.qp_stats(clip, slice(5, 40), workers=3)
    assert list(stats["frame"]) == list(frames)
    assert list(stats["mean_qp"]) == [qp[qp >= 0].mean() for qp in maps]
    assert list(stats["no_qp_share"]) == [np.mean(qp < 0) for qp in maps]
    assert np.array_equal(stats[["cb_qp_offset", "cr_qp_offset"]].tolist(), offsets)


@pytest.mark.parametrize(
    "span, longest, frames, starts",
    [
        # Key frames of the clip every 12 frames, B-frames between.
        (12, 1000, range(48), [0, 12, 24, 36]),
        (20, 1000, range(48), [0, 24]),
        (4, 1000, range(5, 40, 2), [5, 13, 25, 37]),
        (12, 1000, range(5, 40, 2), [5, 37]),
        (1000, 1000, range(48), [0]),
        (5, 7, range(48), [0, 7, 12, 19, 24, 31, 36, 43]),
        (1, 1000, [30, 31, 2, 3, 40], [30, 2, 40]),
    ],
)
def test_spans_start_where_key_groups_start(clip, span, longest, frames, starts):
    session = mbgauge.H264DecoderSession(str(clip))
    key = session.frame_table()["key"]
    assert list(np.flatnonzero(key)) == [0, 12, 24, 36]
    spans = parallel.key_spans(key, frames, span_frames=span, max_span_frames=longest)
    assert [int(s[0]) for s in spans] == starts
    assert np.concatenate(spans).tolist() == list(frames)


@pytest.mark.parametrize("workers, spans", [(1, 1), (2, 2), (3, 2), (8, 4)])
def test_a_short_file_gives_each_worker_a_span_but_no_more(clip, workers, spans):
    # 48 frames in four key groups of 12: spans shrink to each worker's share
    # (three workers: 16 frames, so two groups a span), and are never cut
    # inside a key group, so a fifth thread would only wait.
    assert len(parallel.open_job(clip).spans(workers)) == spans
    maps = mbgauge_tools.iter_qp_maps(clip, workers=workers)
    next(maps)
    assert len(worker_threads()) == spans
    maps.close()


def test_closing_an_iterator_early_stops_its_workers(clip, monkeypatch):
    monkeypatch.setattr(parallel, "SPAN_FRAMES", 12)
    maps = mbgauge_tools.iter_qp_maps(clip, workers=2)
    next(maps)
    assert worker_threads()
    maps.close()
    assert not worker_threads()


@pytest.mark.parametrize(
    "qp, mean, lowest, highest, share, csv_fields",
    [
        ([[20, -1], [30, 31]], 27.0, 20, 31, 0.25, "27.0,20,31,0.25"),
        ([[-1, -1], [-1, -1]], math.nan, -1, -1, 1.0, ",,,1.0"),
    ],
)
def test_stats_cover_only_cells_that_carry_a_qp(qp, mean, lowest, highest, share, csv_fields):
    # Real streams give no control over which macroblocks carry no value.
    stats = frame_stats(np.array([0]), np.array([qp], np.int8), np.array([[-2, 1]]))
    row = stats[0].item()
    assert row[0] == 0 and row[2:] == (lowest, highest, share, -2, 1)
    assert row[1] == mean or (math.isnan(mean) and math.isnan(row[1]))
    assert list(csv_lines(stats))[1] == f"0,{csv_fields},-2,1\n"
    if lowest < 0:
        assert any("no frame carries a QP" in line for line in summary_lines(stats))


@pytest.mark.parametrize("short", ["QP", "qscale", "q index"])
def test_summary_labels_stand_apart_from_their_numbers(short):
    stats = frame_stats(
        np.arange(2), np.array([[[20, -1]], [[150, 31]]], np.int16), np.zeros((2, 2))
    )
    lines = summary_lines(stats, short)
    assert len(lines) == 4
    for line in lines:
        label, gap, rest = re.match(r"(\S.*?\S)(\s{2,})(\S.*)", line).groups()
        assert not label[-1].isdigit() and rest, line
    assert f"{short} range" in lines[1] and lines[1].endswith("20 to 150")


# qp, stats and --workers


@pytest.mark.parametrize(
    "spec, frames",
    [
        (None, range(48)),
        ("5:17", range(5, 17)),
        ("-6:", range(42, 48)),
        ("3:40:4", range(3, 40, 4)),
    ],
)
def test_qp_exports_maps_indices_and_chroma_offsets(capsys, tmp_path, clip, spec, frames):
    out = tmp_path / "maps.npz"
    status, stdout, _ = run(
        capsys, "qp", clip, *(["--frames", spec] if spec else []), "--out", out, "--workers", 2
    )
    assert status == 0 and str(out) in stdout
    maps, offsets = reference(clip, frames)
    with np.load(out) as saved:
        assert set(saved.files) == {"frames", "qp_maps", "chroma_qp_offsets"}
        assert list(saved["frames"]) == list(frames)
        assert saved["qp_maps"].dtype == np.int8 and saved["qp_maps"].shape == (len(frames), 15, 20)
        assert np.array_equal(saved["qp_maps"], maps)
        assert np.array_equal(saved["chroma_qp_offsets"], offsets)


def test_qp_map_of_the_clip_is_not_flat(clip):
    maps, _ = reference(clip, range(48))
    assert all(len(np.unique(qp)) > 3 for qp in maps)


def test_stats_csv_and_plot(capsys, tmp_path, clip):
    status, stdout, _ = run(
        capsys,
        "stats",
        clip,
        "--frames",
        "2:30",
        "--csv",
        tmp_path / "stats.csv",
        "--plot",
        tmp_path / "mean.png",
    )
    assert status == 0
    assert "per-frame CSV" in stdout and "QP and frame size plot" in stdout
    maps, offsets = reference(clip, range(2, 30))
    with open(tmp_path / "stats.csv", newline="") as stream:
        rows = list(csv.DictReader(stream))
    assert [int(row["frame"]) for row in rows] == list(range(2, 30))
    for row, qp, (cb, cr) in zip(rows, maps, offsets):
        carried = qp[qp >= 0]
        assert float(row["mean_qp"]) == carried.mean()
        assert (int(row["min_qp"]), int(row["max_qp"])) == (carried.min(), carried.max())
        assert float(row["no_qp_share"]) == np.mean(qp < 0)
        assert (int(row["cb_qp_offset"]), int(row["cr_qp_offset"])) == (cb, cr)
    assert read_png(tmp_path / "mean.png").shape[:2] == (800, 1000)


def probed_types_and_sizes(path):
    """(picture type, packet size) of every picture in display order, as
    ffprobe reports them."""
    return [(frame["pict_type"], int(frame["pkt_size"])) for frame in videos.ffprobe_frames(path)]


def test_frame_size_panel_shows_ffprobes_bits_and_picture_types(clip):
    session = mbgauge.H264DecoderSession(str(clip))
    stats = mbgauge_tools.qp_stats(clip, "5:40")
    figure = plotting.plot_mean_qp(stats, frame_table=session.frame_table())
    _, sizes = figure.axes
    bars = {round(bar.get_x() + bar.get_width() / 2): bar for bar in sizes.patches}
    assert sorted(bars) == list(range(5, 40))
    colours = {
        name: matplotlib.colors.to_rgba(colour)
        for name, colour in plotting.PICTURE_TYPE_COLOURS.items()
    }
    expected = probed_types_and_sizes(clip)
    assert {kind for kind, _ in expected[5:40]} == {"I", "P", "B"}
    for frame, bar in bars.items():
        kind, size = expected[frame]
        assert (bar.get_height(), bar.get_facecolor()) == (8 * size, colours[kind]), (
            f"frame {frame}"
        )
    labels = sizes.get_legend_handles_labels()[1]
    assert [label.split(":")[0] for label in labels] == ["I", "P", "B"]


def test_qp_maps_of_vp9_are_the_quantiser_indices_of_its_blocks(tmp_path):
    """VP9's quantiser index (0..255) does not fit get_qpmap's int8: the qp
    command writes int16 maps built from the blocks."""
    vp9 = videos.ffmpeg_video(
        "tools-vp9",
        ".webm",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=64x48:rate=25",
        "-frames:v",
        "3",
        "-c:v",
        "libvpx-vp9",
    )
    try:
        session = mbgauge.H264DecoderSession(str(vp9))
    except RuntimeError:
        pytest.skip("this FFmpeg has no VP9 decoder")
    result = subprocess.run(
        [MBGAUGE, "qp", vp9, "--out", tmp_path / "m.npz"], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    with np.load(tmp_path / "m.npz") as saved:
        maps = saved["qp_maps"]
    assert maps.dtype == np.int16 and len(maps) == session.num_frames
    for frame in range(session.num_frames):
        (block,) = session.get_qp_blocks(frame)  # no segmentation: one block per frame
        assert (maps[frame] == block["qp"]).all(), f"frame {frame}"


def test_stats_without_csv_prints_the_rows_then_the_summary(capsys, clip):
    status, stdout, _ = run(capsys, "stats", clip, "--frames", "10:20")
    assert status == 0
    table, summary = stdout.split("\n\n")
    rows = table.splitlines()[1:]
    assert [int(row.split()[0]) for row in rows] == list(range(10, 20))
    means = [qp[qp >= 0].mean() for qp in reference(clip, range(10, 20))[0]]
    assert [float(row.split()[1]) for row in rows] == [round(m, 2) for m in means]
    assert summary.startswith(
        f"{clip}: frames 10:20 (10 of 48), 320x240, 15 rows x 20 columns of macroblocks, H.264 QP\n"
    )
    assert f"{np.mean(means):.2f} on average" in summary


@pytest.mark.parametrize(
    "span, longest",
    [(12, 1000), (5, 7)],
    ids=["spans at key frames", "spans cut inside key groups"],
)
@pytest.mark.parametrize("command", ["qp", "stats"])
def test_workers_split_files_and_frames_without_changing_results(
    capsys, monkeypatch, tmp_path, clip, small_clip, command, span, longest
):
    """Two files of different sizes into one output directory; 4 workers
    share threads between the files."""
    monkeypatch.setattr(parallel, "SPAN_FRAMES", span)
    monkeypatch.setattr(parallel, "MAX_SPAN_FRAMES", longest)
    outputs = {}
    for workers in (1, 4):
        out = tmp_path / f"workers-{workers}"
        option = "--out" if command == "qp" else "--csv"
        status, _, _ = run(capsys, command, clip, small_clip, option, out, "--workers", workers)
        assert status == 0
        outputs[workers] = sorted(out.iterdir())
    assert [p.name for p in outputs[1]] == [p.name for p in outputs[4]]
    assert len(outputs[1]) == 2
    for one, four, video in zip(outputs[1], outputs[4], [clip, small_clip]):
        if command == "stats":
            assert one.read_bytes() == four.read_bytes()
            continue
        with np.load(one) as a, np.load(four) as b:
            for name in a.files:
                assert np.array_equal(a[name], b[name]), name
            frames = range(mbgauge.H264DecoderSession(str(video)).num_frames)
            assert np.array_equal(b["qp_maps"], reference(video, frames)[0])


def test_frames_command_prints_the_frame_table_ffprobe_agrees_with(capsys, tmp_path, clip):
    probed = videos.ffprobe_frames(clip)
    expected = [
        [
            str(i),
            str(f["pts"]),
            str(f["key_frame"]),
            f["pict_type"],
            str(f["pkt_size"]),
            str(f["width"]),
            str(f["height"]),
        ]
        for i, f in enumerate(probed)
    ]

    status, stdout, _ = run(capsys, "frames", clip)
    assert status == 0
    lines = stdout.splitlines()
    assert lines[0].split() == ["frame", "pts", "time", "key", "type", "bytes", "width", "height"]
    assert [line.split()[:2] + line.split()[3:] for line in lines[1:]] == expected

    status, stdout, _ = run(capsys, "frames", clip, "--csv", tmp_path / "frames.csv")
    assert status == 0 and stdout == f"{tmp_path / 'frames.csv'}: 48 frames, 4 key frames\n"
    with open(tmp_path / "frames.csv", newline="") as stream:
        rows = list(csv.reader(stream))
    assert rows[0] == ["frame", "pts", "time", "key", "pict_type", "packet_size", "width", "height"]
    assert [row[:2] + row[3:] for row in rows[1:]] == expected
    assert [float(row[2]) for row in rows[1:]] == [i / 25 for i in range(48)]


# heatmap


def test_heatmap_of_one_frame(capsys, tmp_path, clip):
    status, stdout, _ = run(capsys, "heatmap", clip, "--frame", 7, "--out", tmp_path / "f.png")
    assert status == 0 and "frame 7" in stdout
    width, height = plotting.heatmap_size(320, 240)
    assert read_png(tmp_path / "f.png").shape == (height, width, 3)


def test_heatmap_with_values_and_motion_vectors(capsys, tmp_path, clip):
    status, stdout, _ = run(
        capsys,
        "heatmap",
        clip,
        "--frame",
        7,
        "--values",
        "--motion-vectors",
        "--out",
        tmp_path / "f.png",
    )
    assert status == 0 and "frame 7" in stdout
    # Enlarged so that two digits fit each 16x16 cell.
    width, height = plotting.heatmap_size(320, 240, values=True, motion_vectors=True)
    assert plotting.heatmap_scale(320, 240, values=True) == 2
    assert plotting.heatmap_scale(1920, 1080, values=True) == 2
    assert plotting.heatmap_scale(1920, 1080, motion_vectors=True) == 1
    assert read_png(tmp_path / "f.png").shape == (height, width, 3)

    session = mbgauge.H264DecoderSession(str(clip), motion_vectors=True)
    painter = plotting.HeatmapPainter(session, values=True, motion_vectors=True)
    qp = session.get_qpmap(7)
    vectors = session.get_motion_vectors(7)
    moving = np.count_nonzero((vectors["motion_x"] != 0) | (vectors["motion_y"] != 0))
    assert moving > 0
    # Shown twice: the second frame's values and arrows replace the first's.
    for frame in (12, 7):
        axes = painter.figure(frame).axes[0]
    written = {(text.get_position(), text.get_text()) for text in axes.texts}
    assert written == {
        ((col + 0.5, row + 0.5), str(qp[row, col])) for row in range(15) for col in range(20)
    }
    assert sum(len(arrows.U) for arrows in axes.collections if hasattr(arrows, "U")) == moving
    assert f"{len(vectors)} motion vectors" in axes.get_title()

    # The fast image holds the same values and arrows as the whole figure
    # drawn, and stays so after the figure was saved.
    whole = io.BytesIO()
    plotting.save_figure(painter.figure(7), whole)
    for _ in range(2):
        fast = io.BytesIO()
        painter.save(7, fast)
        assert np.array_equal(read_png(fast.getvalue()), read_png(whole.getvalue()))
        plotting.save_figure(painter.figure(12), io.BytesIO())

    key = mbgauge_tools.render_heatmap(session, 0, motion_vectors=True)
    assert "no motion vectors (intra picture)" in key.axes[0].get_title()
    with pytest.raises(ValueError, match="motion_vectors=True"):
        mbgauge_tools.render_heatmap(mbgauge.H264DecoderSession(str(clip)), 7, motion_vectors=True)


def test_heatmap_of_a_frame_range_writes_one_png_per_frame(capsys, tmp_path, clip):
    status, _, _ = run(capsys, "heatmap", clip, "--frames", "0:48:12", "--out", tmp_path / "maps")
    assert status == 0
    pngs = sorted((tmp_path / "maps").iterdir())
    assert [p.name for p in pngs] == [f"frame_{i:06d}.png" for i in (0, 12, 24, 36)]
    assert len({read_png(p).shape for p in pngs}) == 1


def test_heatmap_lays_picture_and_qp_cells_over_the_right_pixels(clip):
    session = mbgauge.H264DecoderSession(str(clip))
    frame = 12  # a key frame: many distinct QPs
    qp = session.get_qpmap(frame)
    luma = session.get_plane_data(frame, 0)[:240, :320]
    top, left = plotting.MARGIN_TOP, plotting.MARGIN_LEFT
    assert plotting.heatmap_scale(320, 240) == 1

    # Without the overlay the picture shows 1:1: inside the axes frame every
    # luma value is drawn as one grey, brighter for brighter luma.
    picture = read_png(mbgauge_tools.heatmap_png(session, frame, opacity=0.0))
    grey = picture[top : top + 240, left : left + 320, 0]
    inner_luma, inner_grey = luma[2:-2, 2:-2].ravel(), grey[2:-2, 2:-2].ravel()
    pairs = np.unique(np.stack([inner_luma, inner_grey]), axis=1)
    assert pairs.shape[1] == len(np.unique(inner_luma))
    assert np.all(np.diff(pairs[1]) >= 0)

    # Opaque, each macroblock's centre shows one colour per QP value.
    cells = read_png(mbgauge_tools.heatmap_png(session, frame, opacity=1.0))
    centres = (np.arange(15) * 16 + 8 + top)[:, None], (np.arange(20) * 16 + 8 + left)[None, :]
    colours = cells[centres][..., :3].reshape(-1, 3)
    colour_ids = np.unique(colours, axis=0, return_inverse=True)[1].ravel()
    qp_ids = np.unique(qp.ravel(), return_inverse=True)[1]
    assert len(np.unique(qp_ids)) > 5
    assert np.unique(np.stack([colour_ids, qp_ids]), axis=1).shape[1] == len(np.unique(qp_ids))
    assert len(np.unique(colour_ids)) == len(np.unique(qp_ids))


def test_render_heatmap_returns_a_figure_with_frame_title_and_colour_bar(clip):
    session = mbgauge.H264DecoderSession(str(clip))
    figure = mbgauge_tools.render_heatmap(session, 3, label="clip.mp4")
    picture_axes, bar_axes = figure.axes
    assert picture_axes.get_title().startswith("clip.mp4 — frame 3\n")
    assert bar_axes.get_ylabel() == "H.264 QP of the 16×16 macroblock"


# info


def test_info_as_table_and_json(capsys, clip, small_clip):
    status, stdout, _ = run(capsys, "info", "--json", clip, small_clip)
    assert status == 0
    expected = [
        {"file": str(path), **{name: getattr(session, name) for name in mbgauge_tools.PROPERTIES}}
        for path in (clip, small_clip)
        for session in [mbgauge.H264DecoderSession(str(path))]
    ]
    assert json.loads(stdout) == expected

    status, stdout, _ = run(capsys, "info", clip, small_clip)
    header, *rows = stdout.splitlines()
    assert header.split() == ["file", *mbgauge_tools.PROPERTIES]
    assert [row.split() for row in rows] == [
        [str(clip), "h264", "320", "240", "20", "15", "48", "25", "25", "1", "yuv420p", "1"],
        [str(small_clip), "h264", "176", "144", "11", "9", "10", "25", "25", "1", "yuv420p", "1"],
    ]


# Errors, interruption, progress


@pytest.mark.parametrize(
    "args, says",
    [
        (["info", "{missing}"], "missing.mp4"),
        (["stats", "{audio}"], "No video stream"),
        (["qp", "{clip}", "--frames", "40:60", "--out", "{tmp}/m.npz"], "outside the video's 48"),
        (["qp", "{clip}", "--frames", "9:3", "--out", "{tmp}/m.npz"], "selects no frames"),
        (["stats", "{clip}", "--frames", "x", "--csv", "{tmp}/s.csv"], "bad frame range"),
        (["heatmap", "{clip}", "--frame", "48", "--out", "{tmp}/f.png"], "frame 48 is outside"),
        (["qp", "{clip}", "--workers", "0", "--out", "{tmp}/m.npz"], "--workers"),
        (["qp", "{clip}", "--out", "{tmp}/no/m.npz"], "no directory"),
    ],
)
def test_errors_print_one_line_and_exit_2(tmp_path, clip, audio_only, args, says):
    places = {
        "missing": tmp_path / "missing.mp4",
        "audio": audio_only,
        "clip": clip,
        "tmp": tmp_path,
    }
    result = subprocess.run(
        [MBGAUGE, *(arg.format(**places) for arg in args)], capture_output=True, text=True
    )
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("mbgauge")
    assert says in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_interrupt_stops_workers_and_leaves_no_file(capsys, monkeypatch, tmp_path, clip):
    real_span = qp_command.qp_span

    def interrupted_at_frame_20(session, frames):
        if 20 in frames:
            raise KeyboardInterrupt
        return real_span(session, frames)

    monkeypatch.setattr(parallel, "SPAN_FRAMES", 12)
    monkeypatch.setattr(qp_command, "qp_span", interrupted_at_frame_20)
    status, stdout, stderr = run(capsys, "qp", clip, "--out", tmp_path / "m.npz", "--workers", 2)
    assert (status, stdout, stderr) == (130, "", "mbgauge: interrupted\n")
    assert list(tmp_path.iterdir()) == []
    assert not worker_threads()


@pytest.mark.parametrize(
    "terminal, quiet, bar", [(True, False, True), (True, True, False), (False, False, False)]
)
def test_progress_bar_only_on_a_terminal_and_not_when_quiet(tmp_path, clip, terminal, quiet, bar):
    command = [MBGAUGE, "qp", clip, "--out", tmp_path / "m.npz", *(["--quiet"] if quiet else [])]
    if not terminal:
        stderr = subprocess.run(command, capture_output=True, check=True).stderr
    else:
        returncode, stderr = stderr_on_terminal(command)
        assert returncode == 0
    assert bool(re.search(rb"\d+/48", stderr)) == bar
    if not bar:
        assert stderr == b""


# Type stubs


def test_stubs_are_installed_and_pass_stubtest(tmp_path):
    installed = Path(mbgauge.__file__).parent
    for stub in (installed / "mbgauge.pyi", installed / "mbgauge-stubs" / "__init__.pyi"):
        assert stub.read_text() == (REPO / "mbgauge.pyi").read_text()
    # Away from the checkout, so that the installed stubs are the ones found.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "mbgauge"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_methods_match_the_runtime_signatures():
    """stubtest cannot see into pybind11's functions; their docstrings carry
    the signatures."""
    tree = ast.parse((REPO / "mbgauge.pyi").read_text())
    session = next(
        node
        for node in tree.body
        if isinstance(node, ast.ClassDef) and node.name == "H264DecoderSession"
    )
    methods = {
        node.name: [arg.arg for arg in node.args.args + node.args.kwonlyargs]
        for node in session.body
        if isinstance(node, ast.FunctionDef)
        and not any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
    }
    properties = {node.name for node in session.body if isinstance(node, ast.FunctionDef)} - set(
        methods
    )
    # motion_vectors, coding_blocks: the session's options, and parse_only: how
    # its batch QP queries decode, beside the stream's properties.
    assert properties == {
        *mbgauge_tools.PROPERTIES,
        "closed",
        "motion_vectors",
        "coding_blocks",
        "parse_only",
    }
    assert set(methods) == {
        "__init__",
        "get_qpmap",
        "get_qp_blocks",
        "get_motion_vectors",
        "get_coding_blocks",
        "get_coding_blocks_batch",
        "get_plane_data",
        "get_chroma_qp_offset",
        "copy_plane_to_ptr",
        "get_qpmaps",
        "get_chroma_qp_offsets",
        "get_planes",
        "frame_table",
        "get_frame_format",
        "close",
        "__enter__",
        "__exit__",
    }
    for name, parameters in methods.items():
        signature = getattr(mbgauge.H264DecoderSession, name).__doc__.splitlines()[0]
        runtime = re.findall(r"(\w+):", signature.split("(", 1)[1])
        assert runtime == parameters, name
