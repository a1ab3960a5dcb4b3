"""What Python sees of the module before asking for a frame."""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import mbgauge
from tests.support import videos

PROPERTIES = {
    "width": int,
    "height": int,
    "mb_cols": int,
    "mb_rows": int,
    "num_frames": int,
    "fps": float,
    "fps_num": int,
    "fps_den": int,
    "pix_fmt": str,
    "bytes_per_sample": int,
    "codec": str,
}
VERSION_MISMATCH = (
    "Python version mismatch: module was compiled for Python 3.13, "
    "but the interpreter version is incompatible: {}."
)


@pytest.fixture(scope="module")
def session():
    return mbgauge.H264DecoderSession(str(videos.lavfi_h264("surface", frames=10)))


def test_module_exports_the_session_class_its_open_errors_and_its_docstring():
    assert mbgauge.__doc__ == "Native in-memory H.264 decoder & QP/Macroblock extractor"
    public = {name for name in vars(mbgauge) if not name.startswith("__")}
    assert public == {
        "H264DecoderSession",
        "DecoderSession",
        "InputNotFoundError",
        "InputPermissionError",
        "InputIsADirectoryError",
    }
    assert mbgauge.H264DecoderSession.__module__ == "mbgauge"
    # The codec-neutral name is the very same class, not a subclass or a copy.
    assert mbgauge.DecoderSession is mbgauge.H264DecoderSession
    assert mbgauge.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))


def test_import_does_not_import_numpy():
    code = "import sys, mbgauge; print('numpy' in sys.modules)"
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    assert result.stdout.strip() == "False"


def test_properties_are_read_only_and_typed(session):
    for name, kind in PROPERTIES.items():
        assert type(getattr(session, name)) is kind, name
        with pytest.raises(AttributeError):
            setattr(session, name, getattr(session, name))
        with pytest.raises(AttributeError):
            delattr(session, name)
    assert [p for p in vars(mbgauge.H264DecoderSession) if p in PROPERTIES] == list(PROPERTIES)


def test_instances_take_no_undeclared_attributes(session):
    assert not hasattr(session, "path")
    assert not hasattr(session, "__dict__")
    with pytest.raises(AttributeError):
        session.label = "x"


def test_method_docstrings():
    docs = {
        "get_qpmap": "Get QP map for frame as (mb_rows, mb_cols) int8 array",
        "get_plane_data": "Get raw plane data (h, stride) for nodeblock frame",
        "get_chroma_qp_offset": "Get PPS chroma QP offsets (cb_offset, cr_offset) for frame",
        "copy_plane_to_ptr": (
            "Copy plane data directly into destination pointer and stride (zero Python overhead)"
        ),
    }
    for name, text in docs.items():
        assert getattr(mbgauge.H264DecoderSession, name).__doc__.rstrip().endswith(text), name


@pytest.mark.parametrize("args, kwargs", [((), {}), ((42,), {}), ((1.5,), {})])
def test_constructor_rejects_missing_or_non_string_path(args, kwargs):
    with pytest.raises(TypeError):
        mbgauge.H264DecoderSession(*args, **kwargs)


def test_constructor_takes_path_by_keyword_or_as_bytes():
    path = str(videos.lavfi_h264("surface", frames=10))
    assert mbgauge.H264DecoderSession(path=path).num_frames == 10
    assert mbgauge.H264DecoderSession(os.fsencode(path)).num_frames == 10


@pytest.fixture(scope="module")
def fake_version_library(tmp_path_factory):
    out = tmp_path_factory.mktemp("shim") / "fake_py_version.so"
    source = Path(__file__).parent / "cpp" / "fake_py_version.c"
    subprocess.run(["gcc", "-shared", "-fPIC", "-O1", str(source), "-o", str(out)], check=True)
    return out


def import_with_version(shim: Path, version: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, LD_PRELOAD=str(shim), MBGAUGE_FAKE_PY_VERSION=version)
    code = "import mbgauge; print('imported')"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)


@pytest.mark.parametrize("version", ["3.12.1 (main, May  9 2026)", "3.131 (imaginary)", "3.1"])
def test_import_fails_under_another_interpreter_version(fake_version_library, version):
    probe = import_with_version(fake_version_library, "3.13.0 (interposed)")
    if probe.returncode != 0:
        pytest.skip("this interpreter's Py_GetVersion cannot be interposed")
    result = import_with_version(fake_version_library, version)
    assert result.returncode != 0
    assert "ImportError: " + VERSION_MISMATCH.format(version) in result.stderr


def test_import_succeeds_under_any_313_release(fake_version_library):
    result = import_with_version(fake_version_library, "3.13.11 (main)")
    assert result.stdout.strip() == "imported", result.stderr


# Rough edges a user meets


@pytest.mark.parametrize(
    "as_path",
    [
        lambda p: Path(p),
        lambda p: os.fsencode(p),
        lambda p: bytearray(os.fsencode(p)),
        lambda p: type("PathLike", (), {"__fspath__": lambda self: p})(),
    ],
)
def test_constructor_takes_any_path_like(as_path):
    path = str(videos.lavfi_h264("surface", frames=10))
    assert mbgauge.H264DecoderSession(as_path(path)).num_frames == 10


def test_path_with_a_nul_byte_is_refused_not_cut_short(tmp_path):
    # Cut at the NUL, the path would name a file that opens.
    path = str(videos.lavfi_h264("surface", frames=10))
    for bad in (path + "\0.ignored", os.fsencode(path) + b"\0.ignored"):
        with pytest.raises(ValueError, match="null byte"):
            mbgauge.H264DecoderSession(bad)


@pytest.mark.parametrize("index", [2**31, 2**31 + 5, -(2**31) - 1, 2**63, -(2**64), 10**30])
@pytest.mark.parametrize("query", ["get_qpmap", "get_chroma_qp_offset", "get_frame_format"])
def test_huge_frame_indices_are_out_of_bounds(session, query, index):
    with pytest.raises(IndexError) as error:
        getattr(session, query)(index)
    assert str(error.value) == f"Frame index out of bounds: {index}"


@pytest.mark.parametrize(
    "use",
    [
        lambda s: s.width,
        lambda s: s.num_frames,
        lambda s: s.get_qpmap(0),
        lambda s: s.get_plane_data(0, 0),
        lambda s: s.copy_plane_to_ptr(0, 0, 0, 0),
        lambda s: s.get_chroma_qp_offset(0),
    ],
)
def test_instance_made_without_its_constructor_raises_type_error(use):
    blank = mbgauge.H264DecoderSession.__new__(mbgauge.H264DecoderSession)
    with pytest.raises(TypeError, match="not initialised"):
        use(blank)


def test_read_only_property_errors_name_the_property(session):
    for name in PROPERTIES:
        for change in (
            lambda name=name: setattr(session, name, 1),
            lambda name=name: delattr(session, name),
        ):
            with pytest.raises(AttributeError, match=f"'{name}'"):
                change()
