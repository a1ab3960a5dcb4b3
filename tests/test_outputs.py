"""The command never destroys a file: each case here replaced, truncated or
lost a file before outputs were checked and written with care. Also the
command with several files, where one bad file must not cost the others."""

import csv
import hashlib
import io
import os
import shutil
import stat
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from mbgauge_tools import cli
from mbgauge_tools.commands import heatmap as heatmap_command
from mbgauge_tools.commands import qp as qp_command
from mbgauge_tools.commands import stats as stats_command
from tests.support import videos

MBGAUGE = Path(sys.executable).with_name("mbgauge")


@pytest.fixture(scope="module")
def source():
    return videos.lavfi_h264(
        "tools-small", size="176x144", frames=10, extra=["-x264-params", "aq-mode=2"]
    )


@pytest.fixture
def clip(tmp_path, source):
    """A private copy, since these tests try to overwrite it."""
    path = tmp_path / "clip.mp4"
    shutil.copy(source, path)
    return path


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def mbgauge_command(*args, cwd=None, **kwargs):
    return subprocess.run(
        [MBGAUGE, *map(str, args)], capture_output=True, text=True, cwd=cwd, **kwargs
    )


def expected_csv(path, frames):
    session = mbgauge.H264DecoderSession(str(path))
    rows = []
    for frame in frames:
        qp = session.get_qpmap(frame)
        rows.append((frame, qp[qp >= 0].mean()))
    return rows


def csv_rows(text):
    return [(int(row["frame"]), float(row["mean_qp"])) for row in csv.DictReader(io.StringIO(text))]


# Never onto an input


@pytest.mark.parametrize(
    "args",
    [
        ["stats", "{clip}", "--csv", "{target}"],
        ["stats", "{clip}", "--plot", "{target}"],
        ["qp", "{clip}", "--out", "{target}"],
        ["heatmap", "{clip}", "--frame", "0", "--out", "{target}"],
    ],
)
@pytest.mark.parametrize("route", ["same path", "through a link", "through ..", "hard link"])
def test_an_output_never_lands_on_an_input(tmp_path, clip, args, route):
    target = {
        "same path": clip,
        "through a link": tmp_path / "link.png",
        "through ..": tmp_path / "sub" / ".." / "clip.mp4",
        "hard link": tmp_path / "hard.png",
    }[route]
    (tmp_path / "sub").mkdir()
    if route == "through a link":
        target.symlink_to(clip)
    elif route == "hard link":
        os.link(clip, target)
    before = digest(clip)
    # -y as well: replacing an existing output is allowed, an input never.
    result = mbgauge_command(*(a.format(clip=clip, target=target) for a in args), "-y")
    assert result.returncode == 2, result.stderr
    assert digest(clip) == before
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1
    assert f"will not write {target}: it is the input {clip}" in result.stderr


def test_standard_output_redirected_onto_the_input_is_refused(clip):
    before = digest(clip)
    with open(clip, "ab") as appended:
        result = subprocess.run(
            [MBGAUGE, "stats", clip, "--csv", "-"],
            stdout=appended,
            stderr=subprocess.PIPE,
            text=True,
        )
    assert result.returncode == 2
    assert f"it is the input {clip}" in result.stderr
    assert digest(clip) == before


# Links, devices, pipes, standard output


def test_an_output_through_a_link_writes_the_file_it_points_to(capsys, tmp_path, clip):
    real = tmp_path / "real" / "maps.npz"
    real.parent.mkdir()
    real.write_bytes(b"old")
    link = tmp_path / "link.npz"
    link.symlink_to(real)
    assert cli.main(["qp", str(clip), "--out", str(link), "-y", "-q"]) == 0
    assert link.is_symlink() and link.resolve() == real
    with np.load(real) as saved:
        assert list(saved["frames"]) == list(range(10))
    assert sorted(p.name for p in real.parent.iterdir()) == ["maps.npz"]


def test_a_device_is_written_in_place_not_replaced(capsys, tmp_path, clip):
    """A private node of the null device: before, the write-then-rename
    replaced it with a regular file, as it did /dev/null itself."""
    devices = [tmp_path / "null-a", tmp_path / "null-b"]
    try:
        for device in devices:
            os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs root")
    status = cli.main(
        ["stats", str(clip), "--plot", str(devices[0]), "--csv", str(devices[1]), "-q"]
    )
    assert status == 0
    assert all(stat.S_ISCHR(device.stat().st_mode) for device in devices)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["clip.mp4", "null-a", "null-b"]


def test_a_pipe_is_written_in_place(tmp_path, clip):
    fifo = tmp_path / "rows.fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_text()))
    reader.start()
    result = mbgauge_command("stats", clip, "--csv", fifo, "-q")
    reader.join(timeout=60)
    assert result.returncode == 0, result.stderr
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    assert csv_rows(received[0]) == expected_csv(clip, range(10))


@pytest.mark.parametrize("name", ["-", "/dev/stdout"])
def test_csv_on_standard_output_with_the_summary_on_stderr(tmp_path, clip, name):
    with open(tmp_path / "out.txt", "w") as stdout:
        result = subprocess.run(
            [MBGAUGE, "stats", clip, "--frames", "2:6", "--csv", name],
            stdout=stdout,
            stderr=subprocess.PIPE,
            text=True,
        )
    assert result.returncode == 0, result.stderr
    assert csv_rows((tmp_path / "out.txt").read_text()) == expected_csv(clip, range(2, 6))
    assert f"{clip}: frames 2:6 (4 of 10)" in result.stderr


def test_binary_data_is_not_written_to_a_terminal(capsys, monkeypatch, clip):
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True)
    assert cli.main(["qp", str(clip), "--out", "-"]) == 2
    assert "will not write binary data to a terminal" in capsys.readouterr().err


def test_a_closed_standard_output_ends_quietly_with_the_files_complete(tmp_path, clip):
    """Before, the summary was printed first: the broken pipe ended the run
    before the CSV was written."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        result = subprocess.run(
            [
                MBGAUGE,
                "stats",
                clip,
                "--csv",
                tmp_path / "f.csv",
                "--plot",
                tmp_path / "f.png",
                "-q",
            ],
            stdout=write_end,
            stderr=subprocess.PIPE,
            text=True,
        )
    finally:
        os.close(write_end)
    assert (result.returncode, result.stderr) == (1, "")
    assert csv_rows((tmp_path / "f.csv").read_text()) == expected_csv(clip, range(10))
    assert (tmp_path / "f.png").read_bytes().startswith(b"\x89PNG")


# Existing outputs, and checks before any decoding


@pytest.mark.parametrize(
    "args, output",
    [
        (["stats", "{clip}", "--csv", "{tmp}/o.csv"], "o.csv"),
        (["stats", "{clip}", "--plot", "{tmp}/o.png"], "o.png"),
        (["qp", "{clip}", "--out", "{tmp}/o.npz"], "o.npz"),
        (["qp", "{clip}"], "clip.qp.npz"),  # the default output, in the working directory
        (["heatmap", "{clip}", "--frame", "3", "--out", "{tmp}/o.jpg"], "o.jpg"),
        (["heatmap", "{clip}", "--frames", "0:4", "--out", "{tmp}/maps"], "maps/frame_000002.png"),
    ],
)
def test_an_existing_output_is_replaced_only_with_overwrite(tmp_path, clip, args, output):
    path = tmp_path / output
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(b"keep me")
    path.chmod(0o640)
    command = [a.format(clip=clip, tmp=tmp_path) for a in args]
    refused = mbgauge_command(*command, cwd=tmp_path)
    assert refused.returncode == 2
    assert refused.stderr.startswith("mbgauge: error: ") and "--overwrite" in refused.stderr
    assert str(path.relative_to(tmp_path)) in refused.stderr
    assert path.read_bytes() == b"keep me"

    replaced = mbgauge_command(*command, "--overwrite", cwd=tmp_path)
    assert replaced.returncode == 0, replaced.stderr
    assert path.read_bytes() != b"keep me"
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert not [p for p in path.parent.iterdir() if "partial" in p.name]


@pytest.mark.parametrize(
    "args, says",
    [
        (["stats", "{clip}", "--csv", "/sys/x.csv"], "cannot write /sys/x.csv: Permission denied"),
        (
            ["stats", "{clip}", "--csv", "{tmp}/a.csv", "--plot", "{tmp}/no/b.png"],
            "cannot write {tmp}/no/b.png: no directory {tmp}/no",
        ),
        (
            ["stats", "{clip}", "--csv", "{tmp}/same", "--plot", "{tmp}/same"],
            "two outputs of this run go to one place",
        ),
        (["qp", "{clip}", "--out", "{tmp}"], "{tmp}/clip.qp.npz already exists"),
        (["heatmap", "{clip}", "--frame", "1", "--out", "{tmp}/f.gif"], "written as .png or .jpg"),
        (
            ["heatmap", "{clip}", "--frame", "1", "--out", "{tmp}/f.png", "--cmap", "nope"],
            "unknown colour map 'nope'",
        ),
    ],
)
def test_outputs_are_checked_before_any_decoding(capsys, monkeypatch, tmp_path, clip, args, says):
    def no_decoding(*_):
        raise AssertionError("decoded before the outputs were checked")

    for command, name in (
        (stats_command, "stats_span"),
        (qp_command, "qp_span"),
        (heatmap_command, "HeatmapPainter"),
    ):
        monkeypatch.setattr(command, name, no_decoding)
    (tmp_path / "clip.qp.npz").write_bytes(b"")
    before = sorted(tmp_path.iterdir())
    status = cli.main([a.format(clip=clip, tmp=tmp_path) for a in args])
    out, err = capsys.readouterr()
    assert (status, out) == (2, "")
    assert err.startswith("mbgauge: error: ") and err.count("\n") == 1
    assert says.format(tmp=tmp_path) in err
    assert "partial" not in err and sorted(tmp_path.iterdir()) == before


# Several files


def test_info_reports_the_good_files_and_a_line_for_each_bad_one(capsys, tmp_path, clip, source):
    other = tmp_path / "other.mkv"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source, "-c", "copy", other], check=True)
    missing = tmp_path / "missing.mp4"
    status = cli.main(["info", str(clip), str(missing), str(other)])
    out, err = capsys.readouterr()
    assert status == 2
    assert [row.split()[:2] for row in out.splitlines()[1:]] == [
        [str(clip), "h264"],
        [str(other), "h264"],
    ]
    assert err == (
        f"mbgauge: error: Cannot open input video: {missing} (No such file or directory)\n"
    )


def test_stats_finishes_the_other_files_when_one_is_too_short(capsys, tmp_path, clip):
    longer = videos.lavfi_h264("tools-longer", size="176x144", frames=30)
    status = cli.main(
        ["stats", str(clip), str(longer), "--frames", "0:20", "--csv", str(tmp_path / "csv"), "-q"]
    )
    out, err = capsys.readouterr()
    assert status == 2
    assert err == (
        f"mbgauge: error: {clip}: frame range '0:20' is outside the video's 10 frames (0:10)\n"
    )
    written = sorted((tmp_path / "csv").iterdir())
    assert [p.name for p in written] == [f"{longer.stem}.stats.csv"]
    assert csv_rows(written[0].read_text()) == expected_csv(longer, range(20))
    assert f"{longer}: frames 0:20 (20 of 30)" in out


@pytest.mark.parametrize("out", ["single.npz", "existing-file"])
def test_several_files_refuse_a_file_name_where_a_directory_is_needed(capsys, tmp_path, clip, out):
    other = tmp_path / "b.mkv"
    shutil.copy(clip, other)
    (tmp_path / "existing-file").write_bytes(b"x")
    before = sorted(tmp_path.iterdir())
    assert cli.main(["qp", str(clip), str(other), "--out", str(tmp_path / out)]) == 2
    assert "several outputs need a directory" in capsys.readouterr().err
    assert sorted(tmp_path.iterdir()) == before


# Streams without QP


def test_a_stream_whose_decoder_exports_no_qp_is_told_in_one_line(capsys, tmp_path):
    vp8 = videos.ffmpeg_video(
        "vp8",
        ".webm",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=176x144:rate=25",
        "-frames:v",
        "5",
        "-c:v",
        "libvpx",
    )
    try:
        mbgauge.H264DecoderSession(str(vp8)).close()
    except RuntimeError as error:
        pytest.skip(f"this FFmpeg cannot decode VP8 ({error})")
    for args in (
        ["stats", "--csv", str(tmp_path / "s.csv")],
        ["qp", "--out", str(tmp_path / "m.npz")],
        ["heatmap", "--frame", "2", "--out", str(tmp_path / "h.png")],
    ):
        status = cli.main([args[0], str(vp8), *args[1:], "-q"])
        out, err = capsys.readouterr()
        assert (status, out) == (2, "")
        assert err == (
            f"mbgauge: error: {vp8}: no quantiser values: this FFmpeg's vp8 decoder "
            f"exports none for the stream (checked frame {2 if args[0] == 'heatmap' else 0})\n"
        )
    assert list(tmp_path.iterdir()) == []
