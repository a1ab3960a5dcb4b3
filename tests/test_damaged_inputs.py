"""Whatever file a session is given, the process survives and every failure is
a documented Python exception."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tests.support import crafted

ROOT = Path(__file__).resolve().parent.parent


def test_quick_damaged_corpus_passes_completely(tmp_path):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "tests.support.damaged_corpus",
            "--quick",
            "--workdir",
            str(tmp_path),
        ],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout[-5000:]
    assert " 0 failed" in result.stdout


@pytest.mark.parametrize("width, height", [(65535, 65535), (16000, 16000), (8200, 4400)])
def test_headers_claiming_huge_pictures_fail_without_allocating_them(tmp_path, width, height):
    path = tmp_path / "huge.h264"
    path.write_bytes(crafted.h264_stream_claiming(width, height))
    code = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        import mbgauge
        try:
            session = mbgauge.H264DecoderSession({str(path)!r})
            session.get_qpmap(0)
        except (RuntimeError, IndexError) as error:
            print(type(error).__name__ + ":", error)
        """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-3000:]
    # Either opening fails, or no picture of that size can be decoded.
    assert result.stdout.startswith(("RuntimeError:", "IndexError: Frame index out of bounds: 0"))


def test_picture_at_the_size_bound_still_opens(tmp_path):
    path = tmp_path / "8k.h264"
    path.write_bytes(crafted.h264_stream_claiming(8192, 4352))
    import mbgauge

    session = mbgauge.H264DecoderSession(str(path))
    assert (session.width, session.height, session.mb_cols, session.mb_rows) == (
        8192,
        4352,
        512,
        272,
    )
