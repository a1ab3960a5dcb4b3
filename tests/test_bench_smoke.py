"""The benchmark harness runs end to end on tiny inputs and writes its table.

Nothing here looks at a timing: speed is measured by bench/run.py itself, on
full-size inputs, and reported in BENCHMARKS.md.
"""

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parent.parent / "bench" / "run.py"


def run_quick(out: Path, *extra: str) -> dict:
    result = subprocess.run(
        [sys.executable, str(RUN), "--quick", "--out", str(out), *extra],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return json.loads((out / "results.json").read_text())


def test_quick_run_without_pyav_writes_table_and_plot(tmp_path):
    results = run_quick(tmp_path, "--no-pyav")
    table = (tmp_path / "results.md").read_text()
    for heading in (
        "## Sequential QP extraction",
        "## Motion-vector export",
        "## Sequential planes",
        "## Random access",
        "## Local access",
        "## Opening",
        "## Memory",
        "## Datasets of many files",
        "## Targets",
    ):
        assert heading in table
    assert (tmp_path / "results.png").stat().st_size > 0
    assert not any("PyAV" in row["impl"] for row in results["rows"])
    # Every route to the QP maps gave the same maps, and the rows the table
    # needs are there.
    assert "DIFFER" not in table and "UNSTABLE" not in table
    impls = {(row["scenario"], row["impl"]) for row in results["rows"]}
    assert ("seq_qp", "mbgauge get_qpmap") in impls
    assert ("seq_qp", "ffmpeg -threads 1") in impls
    assert ("mvs", "mbgauge get_qpmap + get_motion_vectors") in impls
    assert any(row.get("motion_vectors", 0) > 0 for row in results["rows"])
    assert ("open", "ffprobe -count_packets") in impls
    # Threads and cluster wrote the same frames tables of every file.
    dataset = [row for row in results["rows"] if row["scenario"] == "dataset"]
    assert len({row["frames_sha256"] for row in dataset if "frames_sha256" in row}) == 1
    assert {row["frames"] for row in dataset if row["input"] != "not-video"} == {8 * 60}
    frames = {
        row["frames"] for row in results["rows"] if row["scenario"] == "open" and "frames" in row
    }
    assert len(frames) == 1  # mbgauge and ffprobe count the same packets
    # The tables are made from results.json alone: remade from it, they are the same.
    subprocess.run(
        [sys.executable, str(RUN), "--report-only", "--no-plot", "--out", str(tmp_path)],
        check=True,
        capture_output=True,
        timeout=120,
    )
    assert (tmp_path / "results.md").read_text() == table


@pytest.mark.skipif(importlib.util.find_spec("av") is None, reason="PyAV is not installed")
def test_quick_run_with_pyav_agrees_with_mbgauge(tmp_path):
    results = run_quick(tmp_path, "--scenarios", "seq_qp,random", "--no-plot")
    table = (tmp_path / "results.md").read_text()
    assert "PyAV qp_map()" in table and "PyAV frame-exact reader" in table
    assert "DIFFER" not in table
    assert results["machine"]["pyav"]["ffmpeg"]
