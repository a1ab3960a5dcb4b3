"""Opens a video (by default a sample made with libx264 on first use), prints
its stream properties and a per-frame QP summary.

    .venv/bin/python scripts/demo.py [VIDEO]
"""

import subprocess
import sys
from pathlib import Path

import numpy as np

import mbgauge

SAMPLE = Path(__file__).resolve().parent.parent / "build" / "sample.mp4"
PROPERTIES = ("width", "height", "mb_cols", "mb_rows", "num_frames", "fps", "fps_num", "fps_den",
              "pix_fmt", "bytes_per_sample")


def make_sample(path: Path) -> None:
    """Eight seconds of a moving test picture, with B-frames and adaptive
    quantisation so that QP varies across each picture."""
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
                    "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=8",
                    "-c:v", "libx264", "-preset", "medium", "-crf", "26", "-bf", "3", "-g", "50",
                    "-x264-params", "aq-mode=2", "-pix_fmt", "yuv420p", str(path)], check=True)


def main() -> None:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else SAMPLE
    if len(sys.argv) == 1 and not path.exists():
        make_sample(path)
    session = mbgauge.H264DecoderSession(str(path))
    print(f"{path}")
    for name in PROPERTIES:
        print(f"  {name:17} {getattr(session, name)}")
    print(f"\n{'frame':>5} {'mean QP':>8} {'min':>4} {'max':>4} {'no QP':>6}  chroma offsets")
    for frame in range(session.num_frames):
        qp = session.get_qpmap(frame)
        carried = qp[qp >= 0]
        cb, cr = session.get_chroma_qp_offset(frame)
        if carried.size:
            summary = f"{carried.mean():8.2f} {carried.min():4d} {carried.max():4d}"
        else:
            summary = f"{'-':>8} {'-':>4} {'-':>4}"
        print(f"{frame:5d} {summary} {np.mean(qp < 0):6.1%}  ({cb}, {cr})")


if __name__ == "__main__":
    main()
