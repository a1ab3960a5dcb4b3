"""The main job on a sample video: per-frame QP statistics with a plot, and
QP heatmaps over the picture, made with the `mbgauge` command.

    .venv/bin/python scripts/demo.py [VIDEO]

Without VIDEO it uses build/sample.mp4, made with libx264 on first use. The
outputs go to build/demo/.
"""

import shlex
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = Path("build/sample.mp4")
OUTPUT = Path("build/demo")
HEATMAP_FRAME = 100


def make_sample(path: Path) -> None:
    """Eight seconds of a moving test picture, with B-frames and adaptive
    quantisation so that QP varies across each picture."""
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(
        [
            "ffmpeg",
            "-hide_banner",
            "-loglevel",
            "error",
            "-nostdin",
            "-y",
            "-f",
            "lavfi",
            "-i",
            "testsrc2=size=640x360:rate=25:duration=8",
            "-c:v",
            "libx264",
            "-preset",
            "medium",
            "-crf",
            "26",
            "-bf",
            "3",
            "-g",
            "50",
            "-x264-params",
            "aq-mode=2",
            "-pix_fmt",
            "yuv420p",
            str(path),
        ],
        check=True,
    )


def mbgauge(*args: str) -> None:
    """Runs the installed `mbgauge` command, showing its command line."""
    script = Path(sys.executable).with_name("mbgauge")
    print(f"\n$ mbgauge {shlex.join(args)}", flush=True)
    subprocess.run([str(script), *args], cwd=ROOT, check=True)


def main() -> int:
    video = Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else SAMPLE
    if len(sys.argv) == 1 and not (ROOT / video).exists():
        print(f"making {video} with libx264 (adaptive quantisation)")
        make_sample(ROOT / video)
    (ROOT / OUTPUT).mkdir(parents=True, exist_ok=True)
    try:
        # --overwrite: a second run replaces the outputs of the first.
        mbgauge(
            "stats",
            str(video),
            "--csv",
            str(OUTPUT / "stats.csv"),
            "--plot",
            str(OUTPUT / "mean-qp.png"),
            "--overwrite",
        )
        mbgauge(
            "heatmap",
            str(video),
            "--frame",
            str(HEATMAP_FRAME),
            "--out",
            str(OUTPUT / f"heatmap-frame{HEATMAP_FRAME}.png"),
            "--overwrite",
        )
        mbgauge(
            "heatmap",
            str(video),
            "--frames",
            "0::25",
            "--out",
            str(OUTPUT / "heatmaps"),
            "--overwrite",
        )
    except subprocess.CalledProcessError as error:
        return error.returncode
    print(
        f"\nPNGs in {ROOT / OUTPUT}: mean-qp.png (mean QP over the frame index), "
        f"heatmap-frame{HEATMAP_FRAME}.png and heatmaps/frame_*.png (QP over the picture)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
