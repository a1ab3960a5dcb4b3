"""Native in-memory H.264 decoder & QP/Macroblock extractor"""

import os
from collections.abc import Sequence
from types import TracebackType
from typing import BinaryIO, Self, type_check_only

import numpy as np
import numpy.typing as npt

# The metaclass pybind11 gives the classes it binds; it exists only for the
# type checker (stubtest compares metaclasses).
@type_check_only
class _Pybind11Type(type): ...

class InputNotFoundError(FileNotFoundError, RuntimeError):
    """The input file does not exist."""

class InputPermissionError(PermissionError, RuntimeError):
    """The input file may not be read."""

class InputIsADirectoryError(IsADirectoryError, RuntimeError):
    """The input path names a directory."""

class H264DecoderSession(metaclass=_Pybind11Type):
    """One opened video file; frames are addressed by display-order index. Decodes H.264, HEVC, MPEG-1/2/4, VP8/VP9 and AV1 (DecoderSession is the same class)."""

    def __init__(
        self,
        path: str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes] | BinaryIO,
        *,
        motion_vectors: bool = False,
        read_size: int = 1048576,
    ) -> None: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def mb_cols(self) -> int: ...
    @property
    def mb_rows(self) -> int: ...
    @property
    def num_frames(self) -> int: ...
    @property
    def fps(self) -> float: ...
    @property
    def fps_num(self) -> int: ...
    @property
    def fps_den(self) -> int: ...
    @property
    def pix_fmt(self) -> str: ...
    @property
    def bytes_per_sample(self) -> int: ...
    @property
    def codec(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None:
        """Release the file and the decoder; later frame queries raise ValueError"""

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    @property
    def motion_vectors(self) -> bool: ...
    def get_qpmap(self, frame_idx: int) -> npt.NDArray[np.int8]:
        """Get QP map for frame as (mb_rows, mb_cols) int8 array"""

    def get_qp_blocks(self, frame_idx: int) -> npt.NDArray[np.void]:
        """Get the frame's QP blocks as a structured array (x, y, w, h, qp: int32, luma samples; qp is the frame's base plus the block's delta, unclamped)"""

    def get_motion_vectors(self, frame_idx: int) -> npt.NDArray[np.void]:
        """Get the frame's motion vectors as a structured array with FFmpeg's AVMotionVector fields; empty for intra pictures (needs motion_vectors=True)"""

    def get_plane_data(
        self, frame_idx: int, plane: int
    ) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        """Get raw plane data (h, stride) for nodeblock frame"""

    def get_chroma_qp_offset(self, frame_idx: int) -> tuple[int, int]:
        """Get PPS chroma QP offsets (cb_offset, cr_offset) for frame"""

    def copy_plane_to_ptr(self, frame_idx: int, plane: int, dst_ptr: int, dst_stride: int) -> None:
        """Copy plane data directly into destination pointer and stride (zero Python overhead)"""

    def get_frame_format(self, frame_idx: int) -> tuple[int, int, str]:
        """The frame's own (width, height, pix_fmt): after a mid-stream change of size or format these differ from the session's properties, which describe the first frames"""

    def get_qpmaps(self, frames: Sequence[int] | npt.NDArray[np.integer]) -> npt.NDArray[np.int8]:
        """QP maps of several frames as a (len(frames), mb_rows, mb_cols) int8 array; frames in any order, repeats allowed, each decoded once"""

    def get_chroma_qp_offsets(
        self, frames: Sequence[int] | npt.NDArray[np.integer]
    ) -> npt.NDArray[np.int32]:
        """PPS chroma QP offsets of several frames as a (len(frames), 2) int32 array of (cb_offset, cr_offset)"""

    def get_planes(
        self, frames: Sequence[int] | npt.NDArray[np.integer], plane: int
    ) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        """One plane of several nodeblock frames as a (len(frames), height, width) array of the visible picture, uint8 or uint16"""

    def frame_table(self) -> npt.NDArray[np.void]:
        """Per-frame facts from the packet index, without decoding: a structured array with fields pts, time, key, pict_type, packet_size, width, height"""

DecoderSession = H264DecoderSession
