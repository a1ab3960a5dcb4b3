"""`mbgauge dataset` and mbgauge_tools.dataset: Parquet datasets of many
files made on threads and on Dask clusters of worker processes bound to
127.0.0.1, checked against the encoder's settings and qp_stats."""

import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from mbgauge_tools import cli, qp_stats
from tests.support import videos
from tests.support.terminal import stderr_on_terminal

# What `pip install 'mbgauge[dataset]'` adds; without it these tests skip.
# pandas and pyarrow first: dask.dataframe fails otherwise with an ImportError
# of its own, which importorskip does not take for a missing module.
pd = pytest.importorskip("pandas")
pyarrow_dataset = pytest.importorskip("pyarrow.dataset")
pq = pytest.importorskip("pyarrow.parquet")
zarr = pytest.importorskip("zarr")
distributed = pytest.importorskip("distributed")
dask_dataframe = pytest.importorskip("dask.dataframe")
WorkerPlugin = pytest.importorskip("distributed.diagnostics.plugin").WorkerPlugin

# Imports pyarrow itself: only once the optional dependencies are known to be there.
from mbgauge_tools.dataset import (  # noqa: E402
    FILES_SCHEMA,
    FRAMES_SCHEMA,
    DatasetExistsError,
    extract,
    find_inputs,
    frames_path,
    maps_path,
)

GOP = 12
# Per-frame QPs x264 is told to use (aq off: every macroblock of a frame
# gets the frame's QP), so min_qp == max_qp == mean_qp == the planned QP.
PLANNED_QPS = [22, 30, 35, 27, 41, 18, 33, 29, 24, 38, 31, 26, 20, 36]
CHROMA_OFFSET = 4


def planned_qp_video() -> Path:
    qpfile = "".join(
        f"{frame} {'I' if frame == 0 else 'P'} {qp}\n" for frame, qp in enumerate(PLANNED_QPS)
    )
    return videos.x264_video(
        "dataset-qpfile",
        ".mkv",
        [
            "--crf",
            "23",
            "--no-mbtree",
            "--aq-mode",
            "0",
            "--bframes",
            "0",
            "--chroma-qp-offset",
            str(CHROMA_OFFSET),
            "--no-psy",
        ],
        size="176x144",
        frames=len(PLANNED_QPS),
        qpfile=qpfile,
    )


@pytest.fixture(scope="module")
def good_files(tmp_path_factory):
    """Videos in a directory tree, under names a directory search finds."""
    root = tmp_path_factory.mktemp("videos")
    sources = {
        "a/gop.mp4": videos.lavfi_h264(
            "dataset-gop",
            size="320x240",
            frames=40,
            extra=["-bf", "2", "-g", str(GOP), "-x264-params", "scenecut=0:aq-mode=2"],
        ),
        "a/b/qpfile.mkv": planned_qp_video(),
        "c/small.ts": videos.lavfi_h264("dataset-small", ".ts", size="96x64", frames=9),
    }
    for name, source in sources.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(source, root / name)
    return root, sorted(str(root / name) for name in sources)


def named(good_files, name: str) -> str:
    return next(path for path in good_files[1] if Path(path).name == name)


@pytest.fixture(scope="module")
def bad_files(tmp_path_factory, good_files):
    root = tmp_path_factory.mktemp("bad")
    gop = Path(named(good_files, "gop.mp4"))
    damaged = root / "damaged.mp4"
    damaged.write_bytes(gop.read_bytes()[:600])  # cut inside the header
    audio = root / "audio.m4a"
    shutil.copy(
        videos.ffmpeg_video("dataset-audio", ".m4a", "-f", "lavfi", "-i", "sine=duration=0.5"),
        audio,
    )
    text = root / "notes.txt"
    text.write_text("not a video\n")
    return {
        "damaged": str(damaged),
        "audio": str(audio),
        "text": str(text),
        "missing": str(root / "gone.mp4"),
    }


def local_cluster() -> distributed.LocalCluster:
    """Two worker processes of one thread each, and a scheduler, all on
    127.0.0.1 (the scheduler's HTTP server on any free port: another
    cluster on this machine may hold the usual one)."""
    return distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",
    )


@pytest.fixture(scope="module")
def cluster():
    with local_cluster() as local:
        yield local


def frames_of(out) -> pd.DataFrame:
    return pd.read_parquet(Path(out) / "frames").sort_values(["file", "frame"], ignore_index=True)


def run_command(*args) -> int:
    return cli.main(["dataset", *map(str, args)])


# Frames tables


@pytest.fixture(scope="module")
def local_run(good_files, tmp_path_factory):
    out = tmp_path_factory.mktemp("local") / "dataset"
    files = extract([good_files[0]], out)
    return out, files


def test_local_and_cluster_runs_give_the_same_frames_table(
    good_files, local_run, cluster, tmp_path, capsys
):
    out, _ = local_run
    cluster_out = tmp_path / "cluster"
    assert (
        run_command(good_files[0], "--out", cluster_out, "--scheduler", cluster.scheduler_address)
        == 0
    )
    assert "3 of 3 files" in capsys.readouterr().out
    local, remote = frames_of(out), frames_of(cluster_out)
    pd.testing.assert_frame_equal(local, remote)
    assert sorted(local["file"].unique()) == good_files[1]


def test_frames_table_holds_qp_stats_of_every_frame_of_every_file(good_files, local_run):
    frames = frames_of(local_run[0])
    for path in good_files[1]:
        rows = frames[frames["file"] == path]
        stats = qp_stats(path)
        session = mbgauge.H264DecoderSession(path)
        assert list(rows["frame"]) == list(range(session.num_frames)), path
        for name in stats.dtype.names:
            differ = np.flatnonzero(rows[name].to_numpy() != stats[name])
            if name == "mean_qp":
                differ = differ[~np.isnan(stats[name][differ])]
            assert differ.size == 0, (
                f"{path}, frame {differ[:1]}: {name} "
                f"{rows[name].to_numpy()[differ[:1]]} vs {stats[name][differ[:1]]}"
            )
        assert (rows["width"] == session.width).all() and (rows["height"] == session.height).all()


def test_frames_table_agrees_with_the_encoder_settings(good_files, local_run):
    frames = frames_of(local_run[0])
    gop = frames[frames["file"].str.endswith("gop.mp4")]
    key_frames = list(gop.loc[gop["key"], "frame"])
    assert key_frames == list(range(0, 40, GOP))
    assert set(gop.loc[gop["key"], "pict_type"]) == {"I"}
    assert set(gop["pict_type"]) == {"I", "P", "B"}
    # 25 frames a second: time steps by 1/25 from the first frame's.
    assert np.allclose(np.diff(gop["time"]), 1 / 25, rtol=0, atol=1e-9)
    assert (np.diff(gop["pts"]) > 0).all() and (gop["packet_size"] > 0).all()

    planned = frames[frames["file"].str.endswith("qpfile.mkv")]
    for name in ("min_qp", "max_qp", "mean_qp"):
        assert list(planned[name]) == PLANNED_QPS, name
    assert set(planned["cb_qp_offset"]) == set(planned["cr_qp_offset"]) == {CHROMA_OFFSET}
    assert (planned["no_qp_share"] == 0).all()


def probed_frames(path: str) -> pd.DataFrame:
    """pts, key, pict_type, packet_size, width and height of every picture
    as ffprobe decodes them, in display order."""
    frames = pd.DataFrame(videos.ffprobe_frames(path))
    return pd.DataFrame(
        {
            "pts": frames["pts"].astype("int64"),
            "key": frames["key_frame"].astype(bool),
            "pict_type": frames["pict_type"].astype(str),
            "packet_size": frames["pkt_size"].astype("int64"),
            "width": frames["width"].astype("int32"),
            "height": frames["height"].astype("int32"),
        }
    )


def test_frame_facts_match_ffprobe(good_files, local_run):
    frames = frames_of(local_run[0])
    for path in good_files[1]:
        ours = frames.loc[
            frames["file"] == path, ["pts", "key", "pict_type", "packet_size", "width", "height"]
        ].reset_index(drop=True)
        reference = probed_frames(path)
        differ = (ours != reference).any(axis=1).to_numpy().nonzero()[0]
        assert len(ours) == len(reference) and differ.size == 0, (
            f"{path}, frame {differ[:1]}: {ours.iloc[differ[:1]].to_dict('records')} "
            f"vs ffprobe {reference.iloc[differ[:1]].to_dict('records')}"
        )


def test_files_table_describes_every_input(good_files, local_run):
    out, files = local_run
    assert files.schema == FILES_SCHEMA
    assert pq.read_table(out / "files.parquet").equals(files)
    rows = {row["file"]: row for row in files.to_pylist()}
    assert list(rows) == good_files[1]
    expected = {
        "gop.mp4": (40, 320, 240),
        "qpfile.mkv": (len(PLANNED_QPS), 176, 144),
        "small.ts": (9, 96, 64),
    }
    for path, row in rows.items():
        assert (row["num_frames"], row["width"], row["height"]) == expected[Path(path).name]
        assert (row["status"], row["error"], row["codec"], row["fps"]) == ("ok", None, "h264", 25)
        assert row["seconds"] > 0


@pytest.mark.parametrize("reader", ["pandas", "pyarrow.dataset", "dask.dataframe"])
def test_frames_dataset_reads_without_mbgauge(local_run, reader):
    frames = local_run[0] / "frames"
    if reader == "pandas":
        table = pd.read_parquet(frames)
    elif reader == "pyarrow.dataset":
        data = pyarrow_dataset.dataset(frames, format="parquet")
        assert data.schema.remove_metadata() == FRAMES_SCHEMA
        table = data.to_table().to_pandas()
    else:
        table = dask_dataframe.read_parquet(frames).compute(scheduler="sync")
    assert list(table.columns) == FRAMES_SCHEMA.names
    table = table.sort_values(["file", "frame"], ignore_index=True)
    pd.testing.assert_frame_equal(table, frames_of(local_run[0]), check_dtype=False)
    assert len(table) == 40 + len(PLANNED_QPS) + 9


def test_maps_are_zarr_stores_chunked_by_frames(good_files, tmp_path):
    path = named(good_files, "gop.mp4")
    out = tmp_path / "dataset"
    extract([path], out, maps=True)
    store = zarr.open_group(str(maps_path(out, path)), mode="r")
    session = mbgauge.H264DecoderSession(path)
    qp_maps, offsets = store["qp_maps"], store["chroma_qp_offsets"]
    assert qp_maps.shape == (40, session.mb_rows, session.mb_cols)
    assert qp_maps.chunks[1:] == qp_maps.shape[1:]
    assert qp_maps.dtype == np.int8
    for frame in range(session.num_frames):
        assert np.array_equal(qp_maps[frame], session.get_qpmap(frame)), f"frame {frame}"
        assert tuple(offsets[frame]) == session.get_chroma_qp_offset(frame), f"frame {frame}"


@pytest.mark.parametrize("name", ["size-change.264", "size-change.ts"])
def test_maps_of_a_file_whose_picture_size_changes_are_all_written(name, tmp_path):
    """Each frame's map fills the top-left of a store sized for the largest
    picture; the cells beyond it read -1 (no QP)."""
    from tests.test_real_world_files import CASES

    path = str(CASES[name]())
    out = tmp_path / "dataset"
    files = extract([path], out, maps=True)
    assert files.to_pylist()[0]["status"] == "ok"
    session = mbgauge.H264DecoderSession(path)
    qp_maps = zarr.open_group(str(maps_path(out, path)), mode="r")["qp_maps"][:]
    assert len(qp_maps) == session.num_frames
    for frame in range(session.num_frames):
        qp = session.get_qpmap(frame)
        rows, cols = qp.shape
        assert np.array_equal(qp_maps[frame, :rows, :cols], qp), f"frame {frame}"
        assert (qp_maps[frame, rows:] == -1).all() and (qp_maps[frame, :, cols:] == -1).all()


# Bad inputs


def test_unreadable_inputs_become_error_rows_and_the_rest_completes(
    good_files, bad_files, tmp_path, capsys
):
    out = tmp_path / "dataset"
    gop, small = named(good_files, "gop.mp4"), named(good_files, "small.ts")
    inputs = [
        bad_files["damaged"],
        gop,
        bad_files["audio"],
        bad_files["text"],
        small,
        bad_files["missing"],
    ]
    assert run_command(*inputs, "--out", out, "--maps") == 1
    captured = capsys.readouterr()
    assert "2 of 6 files" in captured.out and "4 failed" in captured.out
    rows = {row["file"]: row for row in pq.read_table(out / "files.parquet").to_pylist()}
    assert list(rows) == inputs
    reasons = {
        "damaged": "Cannot open input video",
        "audio": "No video stream found",
        "text": "Invalid data found when processing input",
        "missing": "No such file or directory",
    }
    for kind, reason in reasons.items():
        row = rows[bad_files[kind]]
        assert row["status"] == "error" and row["num_frames"] is None, kind
        assert reason in row["error"] and bad_files[kind] in row["error"], (kind, row["error"])
        assert "\n" not in row["error"]
        assert f"{bad_files[kind]}: {row['error']}" in captured.err
        assert not frames_path(out, bad_files[kind]).exists()
        assert not maps_path(out, bad_files[kind]).exists()
    frames = frames_of(out)
    assert sorted(frames["file"].unique()) == [gop, small]
    assert len(frames) == 40 + 9


@pytest.mark.parametrize(
    "paths, message",
    [
        (["@{tmp}/missing-list.txt"], "cannot read the list of paths"),
        (["{tmp}/empty-dir"], "no video files found"),
    ],
)
def test_bad_path_arguments_fail_the_command_in_one_line(tmp_path, capsys, paths, message):
    (tmp_path / "empty-dir").mkdir()
    assert run_command(*(p.format(tmp=tmp_path) for p in paths), "--out", tmp_path / "o") == 2
    err = capsys.readouterr().err
    assert err.startswith("mbgauge: error: ") and message in err and err.count("\n") == 1


def test_inputs_come_from_directories_lists_and_files_each_once(good_files, tmp_path):
    root, paths = good_files
    listing = tmp_path / "list.txt"
    relative = os.path.relpath(paths[2], tmp_path)
    listing.write_text(f"# videos\n{paths[1]}\n\n{relative}\n")
    (root / "a" / "readme.txt").write_text("not listed: a directory search takes videos only")
    try:
        found = find_inputs([f"@{listing}", root, paths[1]])
    finally:
        (root / "a" / "readme.txt").unlink()
    assert found == [paths[1], paths[2], paths[0]]


# Restarts and failures


def test_existing_dataset_is_kept_unless_resumed_or_replaced(good_files, tmp_path, capsys):
    out = tmp_path / "dataset"
    small = named(good_files, "small.ts")
    extract([small], out)
    before = frames_path(out, small).stat().st_mtime_ns
    with pytest.raises(DatasetExistsError):
        extract([small], out)
    assert run_command(small, "--out", out) == 2
    assert "--resume" in capsys.readouterr().err
    assert frames_path(out, small).stat().st_mtime_ns == before
    assert run_command(small, "--out", out, "-y") == 0
    assert frames_path(out, small).stat().st_mtime_ns != before


def test_resume_redoes_only_unfinished_files(good_files, tmp_path):
    out = tmp_path / "dataset"
    gop, planned, small = (
        named(good_files, name) for name in ("gop.mp4", "qpfile.mkv", "small.ts")
    )
    extract(good_files[1], out, maps=True)
    finished = {path: frames_path(out, path).stat().st_mtime_ns for path in (gop, small)}
    expected = frames_of(out)
    # As an interrupted run leaves it: one file never finished its frames
    # file, one finished without the maps now asked for, leftovers under
    # temporary names, and no files table yet.
    frames_path(out, planned).unlink()
    shutil.rmtree(maps_path(out, small))
    (out / "frames" / ".x.parquet.partial-0").write_bytes(b"half")
    (out / "files.parquet").unlink()

    files = extract(good_files[1], out, maps=True, resume=True)
    assert [row["status"] for row in files.to_pylist()] == ["ok"] * 3
    assert frames_path(out, gop).stat().st_mtime_ns == finished[gop]
    assert frames_path(out, small).stat().st_mtime_ns != finished[small]
    assert maps_path(out, small).exists() and frames_path(out, planned).exists()
    assert sorted(p.name for p in (out / "frames").iterdir()) == sorted(
        frames_path(out, path).name for path in good_files[1]
    )
    pd.testing.assert_frame_equal(frames_of(out), expected)


@pytest.mark.parametrize("change", ["replaced by another video", "rewritten in place"])
def test_resume_redoes_a_file_replaced_under_the_same_path(good_files, tmp_path, change):
    root = tmp_path / "videos"
    root.mkdir()
    path = root / "clip.mp4"
    shutil.copy(named(good_files, "gop.mp4"), path)
    out = tmp_path / "dataset"
    extract([str(path)], out)
    first_output = frames_path(out, str(path)).stat().st_mtime_ns
    if change == "replaced by another video":
        replacement = videos.lavfi_h264("dataset-replacement", size="96x64", frames=7)
        shutil.copy(replacement, path)
    else:
        # Same bytes, written anew: the modification time alone changes.
        path.write_bytes(path.read_bytes())
    want = mbgauge.H264DecoderSession(str(path)).num_frames

    files = extract([str(path)], out, resume=True)
    assert files.to_pylist()[0]["num_frames"] == want
    assert len(frames_of(out)) == want
    assert frames_path(out, str(path)).stat().st_mtime_ns != first_output


class KillWorkerOnce(WorkerPlugin):
    """Kills its worker process while it runs the task of the file named
    `victim`, once it has begun writing that file's maps, and only the first
    time (the marker file says which partial output was there)."""

    def __init__(self, marker: str, out: str, victim: str) -> None:
        self.marker, self.out, self.victim = marker, out, victim

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or f"-{self.victim}-" not in str(key):
            return
        try:
            os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return
        threading.Thread(target=self._kill_when_writing, daemon=True).start()

    def _kill_when_writing(self):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            partials = list(Path(self.out, "maps").glob(f".{self.victim}-*.partial-*"))
            if partials:
                Path(self.marker).write_text(partials[0].name)
                break
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGKILL)


def test_run_survives_a_worker_killed_in_a_task(good_files, tmp_path):
    out, marker = tmp_path / "dataset", tmp_path / "killed"
    long_clip = tmp_path / "long.mp4"
    shutil.copy(videos.lavfi_h264("dataset-long", size="160x120", frames=600), long_clip)
    inputs = [str(long_clip), *good_files[1]]
    with local_cluster() as local, distributed.Client(local) as client:
        client.register_plugin(KillWorkerOnce(str(marker), str(out), "long"))
        files = extract(inputs, out, client=client, maps=True)
    assert marker.read_text(), "no worker was killed while writing"
    assert [row["status"] for row in files.to_pylist()] == ["ok"] * 4
    frames = frames_of(out)
    for row in files.to_pylist():
        numbers = frames.loc[frames["file"] == row["file"], "frame"]
        assert list(numbers) == list(range(row["num_frames"])), row["file"]
    assert not list(out.glob("*/.*partial*")), "a temporary output was left behind"
    store = zarr.open_group(str(maps_path(out, str(long_clip))), mode="r")
    assert store["qp_maps"].shape[0] == 600


def test_interrupted_run_leaves_no_partial_output_and_resumes(
    good_files, tmp_path, capsys, monkeypatch
):
    from mbgauge_tools import dataset

    out = tmp_path / "dataset"
    gop = named(good_files, "gop.mp4")
    real_stats = dataset.frame_stats

    def interrupted_in_gop(frames, maps, offsets):
        if len(frames) == 40:  # the span of gop.mp4, its only one
            raise KeyboardInterrupt
        return real_stats(frames, maps, offsets)

    monkeypatch.setattr(dataset, "frame_stats", interrupted_in_gop)
    assert run_command(good_files[0], "--out", out, "--maps") == 130
    assert capsys.readouterr().err == "mbgauge: interrupted\n"
    assert not frames_path(out, gop).exists() and not (out / "files.parquet").exists()
    assert not list(out.glob("*/.*partial*"))
    monkeypatch.setattr(dataset, "frame_stats", real_stats)
    assert run_command(good_files[0], "--out", out, "--maps", "--resume") == 0
    frames = frames_of(out)
    assert len(frames) == 40 + len(PLANNED_QPS) + 9
    assert not frames.duplicated(["file", "frame"]).any()


def test_progress_bar_counts_files_on_a_terminal(good_files, tmp_path):
    command = [
        Path(sys.executable).with_name("mbgauge"),
        "dataset",
        good_files[0],
        "--out",
        tmp_path / "dataset",
    ]
    returncode, stderr = stderr_on_terminal(command)
    assert returncode == 0
    assert re.search(rb"\d/3 \[", stderr), stderr
    assert subprocess.run([*command, "-y"], capture_output=True).stderr == b""
