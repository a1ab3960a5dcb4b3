"""FFmpeg's own decode of a file as a reference: tests/cpp/ffmpeg_reference.c,
compiled against the very FFmpeg libraries that the mbgauge module loads,
decodes the file with libavcodec alone and reports each picture's exported
video encoding parameters and, on request, its planes."""

from __future__ import annotations

import functools
import hashlib
import os
import shlex
import subprocess
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import mbgauge

SOURCE = Path(__file__).resolve().parent.parent / "cpp" / "ffmpeg_reference.c"


@functools.cache
def loaded_libavcodec() -> Path:
    """The libavcodec file the mbgauge module runs on, as the loader mapped it."""
    assert mbgauge.__file__
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "/libavcodec.so" in line}
    assert len(paths) == 1, f"libavcodec mapped from {paths}"
    return Path(paths.pop())


def ffmpeg_build_flags() -> list[str]:
    """Compiler and linker flags for the FFmpeg mbgauge loads: its own
    pkg-config files where the build has them (a private prefix), otherwise
    the system's, and an rpath to its library directory."""
    libdir = loaded_libavcodec().parent
    env = dict(os.environ)
    if (libdir / "pkgconfig" / "libavcodec.pc").exists():
        env["PKG_CONFIG_PATH"] = str(libdir / "pkgconfig")
    else:
        env.pop("PKG_CONFIG_PATH", None)
    out = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "libavformat", "libavcodec", "libavutil"],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    ).stdout
    return [*shlex.split(out), f"-Wl,-rpath,{libdir}"]


@functools.cache
def reference_tool(source: Path = SOURCE) -> Path:
    """SOURCE, a C program, built against the FFmpeg mbgauge loads. The binary
    is named by a hash of the source and the flags, so it is built once per
    FFmpeg and source version and shared by every run."""
    flags = ffmpeg_build_flags()
    key = hashlib.sha256((source.read_text() + "\0".join(flags)).encode()).hexdigest()[:16]
    tool = Path(tempfile.gettempdir()) / f"mbgauge-{source.stem.replace('_', '-')}-{key}"
    if not tool.exists():
        partial = tool.with_name(f"{tool.name}.{os.getpid()}")
        subprocess.run(
            ["cc", "-std=c11", "-O1", "-Wall", "-Werror", str(source), *flags, "-o", str(partial)],
            check=True,
        )
        partial.rename(tool)
    return tool


@dataclass(frozen=True)
class Picture:
    pts: int
    width: int
    height: int
    # None when FFmpeg attached no video encoding parameters to the picture.
    params_type: int | None = None
    qp: int = 0
    cb_offset: int = 0
    cr_offset: int = 0
    # One row per block: src_x, src_y, w, h, qp (base + delta).
    blocks: np.ndarray = field(default_factory=lambda: np.zeros((0, 5), np.int64))
    planes: tuple[np.ndarray, ...] = ()

    def block_area_mean_qp(self) -> float:
        areas = self.blocks[:, 2] * self.blocks[:, 3]
        return float((self.blocks[:, 4] * areas).sum() / areas.sum())

    def cell_map(self, mb_rows: int, mb_cols: int) -> np.ndarray:
        """The 16x16 cell grid as the blocks fill it: each cell takes the
        block that covers its top-left luma sample, -1 where none does."""
        cells = np.full((mb_rows, mb_cols), -1, np.int64)
        for x, y, w, h, qp in self.blocks:
            cols = slice(max(0, -(-x // 16)), max(0, -(-(x + w) // 16)))
            rows = slice(max(0, -(-y // 16)), max(0, -(-(y + h) // 16)))
            cells[rows, cols] = qp
        return cells


def decode(path: Path, *, planes: bool = False) -> list[Picture]:
    """Every picture of the file's first video stream in output order."""
    with tempfile.TemporaryDirectory() as scratch:
        raw_path = Path(scratch) / "planes.raw"
        args = [str(reference_tool()), str(path), *([str(raw_path)] if planes else [])]
        out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
        raw = raw_path.read_bytes() if planes else b""
    pictures: list[Picture] = []
    lines = out.splitlines()
    i, offset = 0, 0
    while i < len(lines):
        pts, width, height, bytes_per_sample = map(int, lines[i].split()[1:])
        fields = lines[i + 1].split()[1:]
        i += 2
        params: dict = {}
        if fields != ["none"]:
            kind, qp, cb, cr, count = map(int, fields)
            rows = [list(map(int, line.split()[1:])) for line in lines[i : i + count]]
            i += count
            blocks = np.array(rows, np.int64).reshape(-1, 5)
            blocks[:, 4] += qp
            params = dict(params_type=kind, qp=qp, cb_offset=cb, cr_offset=cr, blocks=blocks)
        plane_arrays = []
        if planes:
            # 4:2:0 only.
            dtype = np.uint16 if bytes_per_sample == 2 else np.uint8
            cw, ch = (width + 1) // 2, (height + 1) // 2
            for h, w in [(height, width), (ch, cw), (ch, cw)]:
                count = h * w * bytes_per_sample
                plane_arrays.append(
                    np.frombuffer(raw[offset : offset + count], dtype).reshape(h, w)
                )
                offset += count
        pictures.append(Picture(pts, width, height, **params, planes=tuple(plane_arrays)))
    return pictures
