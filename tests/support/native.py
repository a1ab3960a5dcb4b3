"""The native test programs of tests/cpp (test_packet_index, test_qp_cells,
test_session, leak_driver), built once by CMake with MBGAUGE_NATIVE_TESTS=ON
against the session sources and the FFmpeg that the mbgauge module runs on.

The build directory is kept under build/ per FFmpeg and compiler flags, so a
later test run rebuilds only what changed; a lock keeps two test processes
from building it at once. MBGAUGE_NATIVE_CXXFLAGS adds compiler flags
(scripts/sanitize.sh passes the sanitizers)."""

from __future__ import annotations

import fcntl
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from tests.support import ffmpeg_reference

ROOT = Path(__file__).resolve().parents[2]
CPP_DIR = ROOT / "tests" / "cpp"
PROGRAMS = ("test_packet_index", "test_qp_cells", "test_session", "leak_driver")


def _cmake_environment() -> dict[str, str]:
    """pkg-config pointed at the FFmpeg the module loads (its own pkg-config
    files where it has them, otherwise the system's)."""
    libdir = ffmpeg_reference.loaded_libavcodec().parent
    env = dict(os.environ)
    if (libdir / "pkgconfig" / "libavcodec.pc").exists():
        env["PKG_CONFIG_PATH"] = str(libdir / "pkgconfig")
    else:
        env.pop("PKG_CONFIG_PATH", None)
    return env


def build_programs() -> dict[str, Path]:
    """Configures (once) and builds the native test programs; returns each
    program's path by name."""
    for tool in ("cmake", "g++"):
        if shutil.which(tool) is None:
            raise RuntimeError(f"{tool} is needed to build the native tests")
    import pybind11

    flags = os.environ.get("MBGAUGE_NATIVE_CXXFLAGS", "")
    libdir = ffmpeg_reference.loaded_libavcodec().parent
    key = hashlib.sha256(f"{libdir}\0{flags}\0{sys.executable}".encode()).hexdigest()[:12]
    build_dir = ROOT / "build" / f"native-tests-{key}"
    build_dir.mkdir(parents=True, exist_ok=True)
    env = _cmake_environment()
    with open(build_dir / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (build_dir / "CMakeCache.txt").exists():
            _run(
                [
                    "cmake",
                    "-S",
                    str(ROOT),
                    "-B",
                    str(build_dir),
                    "-DCMAKE_BUILD_TYPE=Debug",
                    f"-DCMAKE_CXX_FLAGS=-O1 {flags}",
                    f"-DCMAKE_EXE_LINKER_FLAGS={flags}",
                    "-DMBGAUGE_NATIVE_TESTS=ON",
                    "-DMBGAUGE_WERROR=ON",
                    f"-DPython_EXECUTABLE={sys.executable}",
                    f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
                ],
                env,
            )
        _run(["cmake", "--build", str(build_dir), "-j2", "--target", *PROGRAMS], env)
    return {name: build_dir / name for name in PROGRAMS}


def _run(command: list[str], env: dict[str, str]) -> None:
    result = subprocess.run(command, capture_output=True, text=True, env=env)
    if result.returncode != 0:
        raise RuntimeError(
            f"building the native tests failed:\n{shlex.join(command)}\n"
            f"{result.stdout[-6000:]}\n{result.stderr[-6000:]}"
        )
