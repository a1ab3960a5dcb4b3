"""The self-contained wheel of scripts/wheel.sh, installed into a fresh venv:
it runs on the FFmpeg it carries, with nothing from the build environment.

Slow (it builds the wheel and a venv): scripts/test.sh runs it once, with
MBGAUGE_TEST_WHEEL=1; otherwise it is skipped.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from tests.support import videos

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    os.environ.get("MBGAUGE_TEST_WHEEL") != "1",
    reason="builds a wheel and a venv; run by scripts/test.sh",
)

CHECK = """
import json, sys
import numpy as np
import mbgauge
session = mbgauge.H264DecoderSession(sys.argv[1])
maps = [session.get_qpmap(f) for f in range(session.num_frames)]
with open("/proc/self/maps") as maps_file:
    libs = sorted({line.split()[-1] for line in maps_file
                   if "/libav" in line or "/libdav1d" in line})
print(json.dumps({"module": mbgauge.__file__, "libs": libs,
                  "qps": sorted({int(v) for m in maps for v in np.unique(m)})}))
"""


def test_wheel_carries_its_ffmpeg_and_gives_hevc_qps_in_a_fresh_venv(tmp_path):
    build = subprocess.run([str(ROOT / "scripts" / "wheel.sh")], capture_output=True, text=True)
    assert build.returncode == 0, build.stdout[-3000:] + build.stderr[-3000:]

    (wheel,) = (ROOT / "dist").glob("mbgauge-*.whl")
    assert re.fullmatch(r"mbgauge-0\.1\.0-cp313-cp313-manylinux_2_\d+_x86_64\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as archive:
        bundled = {
            Path(name).name.split(".so")[0].rsplit("-", 1)[0]
            for name in archive.namelist()
            if name.startswith("mbgauge.libs/")
        }
    assert {"libavformat", "libavcodec", "libavutil", "libdav1d"} <= bundled, bundled
    with zipfile.ZipFile(wheel) as archive:
        # The viewer's page ships in the package, beside its modules.
        page = {
            name
            for name in archive.namelist()
            if "/view/static/" in name and not name.endswith("/")
        }
    assert {f"mbgauge_tools/view/static/{n}" for n in ("index.html", "view.js", "view.css")} == page

    path = videos.libx265_video(
        "wheel-hevc-cqp", ".mkv", "qp=33:ipratio=1:pbratio=1:aq-mode=0:cutree=0:bframes=2", frames=6
    )
    python = ROOT / "build" / "wheel-check" / "bin" / "python"
    clean_env = {
        key: value
        for key, value in os.environ.items()
        if key not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "PYTHONPATH")
    }
    # From a directory of its own, so that nothing of the checkout is importable.
    run = subprocess.run(
        [str(python), "-c", CHECK, str(path)],
        capture_output=True,
        text=True,
        env=clean_env,
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stderr[-3000:]
    facts = json.loads(run.stdout)

    site = Path(facts["module"]).parent
    assert site != ROOT and sys.prefix not in facts["module"]
    assert any("/libavcodec" in lib for lib in facts["libs"])
    foreign = [lib for lib in facts["libs"] if not lib.startswith(str(site / "mbgauge.libs"))]
    assert not foreign, f"libraries loaded from outside the wheel: {foreign}"
    # The wheel's FFmpeg is the patched one: HEVC QPs are exported.
    assert facts["qps"] == [33]
