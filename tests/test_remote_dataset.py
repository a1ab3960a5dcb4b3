"""`mbgauge dataset` between object stores: videos read straight from a local
S3 server (moto) by a glob, Parquet committed to it per task, a killed worker
and a killed command losing no row and duplicating none."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest
from distributed import Client, LocalCluster
from distributed.diagnostics.plugin import WorkerPlugin

import mbgauge
from mbgauge_tools import cli
from mbgauge_tools.dataset import DatasetExistsError, extract
from tests.support import servers, videos

fsspec = pytest.importorskip("fsspec")
pytest.importorskip("s3fs")
zarr = pytest.importorskip("zarr")

INPUTS = {
    "gop.mp4": lambda: videos.lavfi_h264(
        "dataset-gop", size="320x240", frames=40, extra=["-bf", "2", "-g", "12"]
    ),
    "small.ts": lambda: videos.lavfi_h264("dataset-small", ".ts", size="96x64", frames=9),
    "long.mp4": lambda: videos.lavfi_h264("dataset-long", size="160x120", frames=600),
    "other.mkv": lambda: videos.lavfi_h264("remote-dataset-mkv", ".mkv", size="128x96", frames=30),
}


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    if servers.moto_executable() is None:
        pytest.skip("moto_server is not installed (scripts/setup.sh makes .venv-moto)")
    local = tmp_path_factory.mktemp("local-videos")
    for name, make in INPUTS.items():
        (local / name).write_bytes(make().read_bytes())
    with servers.s3_endpoint():
        fs = fsspec.filesystem("s3", skip_instance_cache=True)
        fs.mkdir("corpus")
        for name in INPUTS:
            fs.put_file(str(local / name), f"corpus/videos/{name}")
        fs.pipe_file("corpus/videos/notes.dat", b"not a video\n" * 100)
        yield fs, local


@pytest.fixture(scope="module")
def local_frames(store, tmp_path_factory):
    """The frames table of the same files read from local paths."""
    _, local = store
    out = tmp_path_factory.mktemp("local-dataset")
    extract([local / name for name in sorted(INPUTS)], out)
    return normalised(pd.read_parquet(out / "frames"))


def normalised(frames: pd.DataFrame) -> pd.DataFrame:
    frames = frames.assign(file=frames["file"].map(lambda name: Path(name).name))
    return frames.sort_values(["file", "frame"], ignore_index=True)


def store_frames(fs, out: str) -> pd.DataFrame:
    fs.invalidate_cache()
    names = [name for name in fs.ls(f"{out}/frames", detail=False) if name.endswith(".parquet")]
    tables = []
    for name in names:
        with fs.open(name, "rb") as file:
            tables.append(pq.read_table(file).to_pandas())
    return normalised(pd.concat(tables))


def leftovers(fs, out: str) -> list[str]:
    fs.invalidate_cache()
    return [name for name in fs.find(out) if ".partial-" in name]


def test_command_reads_a_glob_from_s3_and_writes_parquet_there(store, local_frames, capsys):
    fs, _ = store
    out = "corpus/out-command"
    status = cli.main(["dataset", "s3://corpus/videos/*.m[kp][4v]", "--out", f"s3://{out}"])
    assert status == 0, capsys.readouterr().err
    pd.testing.assert_frame_equal(
        store_frames(fs, out),
        local_frames[local_frames["file"] != "small.ts"].reset_index(drop=True),
    )
    with fs.open(f"{out}/files.parquet", "rb") as file:
        files = pq.read_table(file).to_pylist()
    assert sorted(row["file"] for row in files) == [
        f"s3://corpus/videos/{name}" for name in ("gop.mp4", "long.mp4", "other.mkv")
    ]
    assert {row["status"] for row in files} == {"ok"}
    assert leftovers(fs, out) == []
    # A second run neither resumes nor replaces unless told to.
    with pytest.raises(DatasetExistsError):
        extract(["s3://corpus/videos/gop.mp4"], f"s3://{out}")


def test_directory_prefix_finds_videos_by_suffix_and_a_non_video_is_an_error_row(store):
    fs, _ = store
    table = extract(["s3://corpus/videos/", "s3://corpus/videos/notes.dat"], "s3://corpus/out-dir")
    rows = {Path(row["file"]).name: row for row in table.to_pylist()}
    assert sorted(rows) == sorted([*INPUTS, "notes.dat"])
    assert rows["notes.dat"]["status"] == "error"
    assert all(row["status"] == "ok" for name, row in rows.items() if name != "notes.dat")


def test_missing_object_is_an_error_row(store):
    table = extract(["s3://corpus/videos/missing.mp4"], "s3://corpus/out-missing")
    (row,) = table.to_pylist()
    assert row["status"] == "error" and "missing.mp4" in row["error"]


class KillWorkerOnce(WorkerPlugin):
    """Kills the worker process running the task of the file named `victim`
    a moment after it starts, the first time only."""

    def __init__(self, marker: str, victim: str) -> None:
        self.marker, self.victim = marker, victim

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or f"-{self.victim}-" not in str(key):
            return
        try:
            os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGKILL)).start()


def test_worker_killed_mid_extraction_loses_and_duplicates_no_row(store, local_frames, tmp_path):
    fs, _ = store
    out = "corpus/out-cluster"
    marker = tmp_path / "killed"
    with (
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
        ) as cluster,
        Client(cluster) as client,
    ):
        client.register_plugin(KillWorkerOnce(str(marker), "long"))
        table = extract(["s3://corpus/videos/*.*[4s]"], f"s3://{out}", client=client)
    assert marker.exists(), "no worker was killed"
    assert [row["status"] for row in table.to_pylist()] == ["ok"] * 3
    frames = store_frames(fs, out)
    assert not frames.duplicated(["file", "frame"]).any()
    expected = local_frames[local_frames["file"] != "other.mkv"].reset_index(drop=True)
    pd.testing.assert_frame_equal(frames, expected)
    assert leftovers(fs, out) == []


def test_command_killed_and_rerun_with_resume_completes(store, local_frames):
    fs, _ = store
    out = "corpus/out-resume"
    command = [
        str(Path(sys.executable).with_name("mbgauge")),
        "dataset",
        "s3://corpus/videos/*.m*",
        "--out",
        f"s3://{out}",
    ]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # Killed once a first file is committed: the others are under way.
        for _ in range(6000):
            fs.invalidate_cache()
            if fs.exists(f"{out}/frames") and any(
                name.endswith(".parquet") for name in fs.ls(f"{out}/frames", detail=False)
            ):
                break
            assert process.poll() is None, "the command ended before it was killed"
            time.sleep(0.01)
    finally:
        process.kill()
        process.wait()
    assert not fs.exists(f"{out}/files.parquet")
    rerun = subprocess.run([*command, "--resume"], capture_output=True, text=True)
    assert rerun.returncode == 0, rerun.stderr
    frames = store_frames(fs, out)
    assert not frames.duplicated(["file", "frame"]).any()
    expected = local_frames[local_frames["file"] != "small.ts"].reset_index(drop=True)
    pd.testing.assert_frame_equal(frames, expected)
    assert leftovers(fs, out) == []


def test_maps_in_an_object_store_equal_the_files_maps(store, tmp_path):
    fs, local = store
    out = "corpus/out-maps"
    names = ["gop.mp4", "other.mkv"]
    extract([f"s3://corpus/videos/{name}" for name in names], f"s3://{out}", maps=True)
    fs.invalidate_cache()
    stores = sorted(fs.ls(f"{out}/maps", detail=False))
    assert [Path(name).name.split("-")[0] for name in stores] == ["gop", "other"]
    for name, url in zip(names, stores):
        fs.get(f"{url}/", str(tmp_path / name), recursive=True)
        group = zarr.open_group(str(tmp_path / name), mode="r")
        session = mbgauge.H264DecoderSession(str(local / name))
        frames = range(session.num_frames)
        assert np.array_equal(group["qp_maps"][:], session.get_qpmaps(frames)), name
        assert np.array_equal(group["chroma_qp_offsets"][:], session.get_chroma_qp_offsets(frames))
    assert leftovers(fs, out) == []
