"""`mbgauge heatmap`: a frame's QP map drawn over its picture, for one frame
or for each frame of a range on one colour scale; or a layer of its block
structure (types, partitions, bits, transforms)."""

from __future__ import annotations

import argparse
import threading
from collections.abc import Sequence
from functools import partial
from pathlib import Path

import numpy as np
import numpy.typing as npt

import mbgauge

from ..block_layers import BLOCK_LAYERS, block_layer_png
from ..outputs import Output, OutputPlan
from ..parallel import FrameJob, Frames, counted, run_spans
from ..plotting import (
    DEFAULT_COLOUR_MAP,
    DEFAULT_OPACITY,
    HeatmapData,
    HeatmapOptions,
    HeatmapPainter,
    ImageFormat,
    default_qp_range,
    image_format_of,
)
from ..qpmaps import maps_by_size
from . import options
from .base import Command, CommandError, Console
from .driver import (
    first_frame_says_no_qp,
    no_qp_message,
    open_jobs,
    outputs_per_file,
    progress,
    report_on_stderr_if_data_on_stdout,
)

# Frames whose luma planes one batch query fetches: the decoder moves forward
# from one chunk to the next without seeking, so larger chunks save only a
# call each (nothing beside a frame's rendering), while each frame adds its
# plane (2 MiB at 1080p, 16 MiB at 4K and 10 bits) to what a worker holds.
CHUNK_FRAMES = 4


def add_arguments(parser: argparse.ArgumentParser) -> None:
    which = parser.add_mutually_exclusive_group(required=True)
    which.add_argument("--frame", type=int, metavar="N", help="one frame; --out is the PNG")
    which.add_argument(
        "--frames",
        metavar="A:B",
        help=f"several frames, one PNG each in the "
        f"directory --out, on one colour scale; {options.FRAMES_HELP}",
    )
    parser.add_argument(
        "--out",
        required=True,
        metavar="PATH",
        help="with --frame: the .png "
        "or .jpg file (- for PNG on standard output); with --frames: the "
        "directory",
    )
    parser.add_argument(
        "--qp-range",
        metavar="LOW:HIGH",
        help="the colour scale (default: all "
        "the codec can code at the stream's bit depth, e.g. 0:51 for 8-bit "
        "H.264 and HEVC, 0:63 for 10-bit)",
    )
    parser.add_argument(
        "--opacity",
        type=options.fraction,
        default=DEFAULT_OPACITY,
        metavar="A",
        help=f"of the QP colours over the picture, 0 to 1 (default: {DEFAULT_OPACITY})",
    )
    parser.add_argument(
        "--cmap",
        default=DEFAULT_COLOUR_MAP,
        metavar="NAME",
        help=f"matplotlib colour map (default: {DEFAULT_COLOUR_MAP}; "
        f"cividis for colour-blind readers)",
    )
    parser.add_argument(
        "--values",
        action="store_true",
        help="write each macroblock's QP in its cell (when the cells are large enough to read)",
    )
    parser.add_argument(
        "--motion-vectors",
        action="store_true",
        help="draw the motion vectors "
        "as arrows from where each block is predicted from to the block (white: "
        "from a past picture, black: from a future one)",
    )
    parser.add_argument(
        "--layer",
        choices=("qp", *BLOCK_LAYERS),
        default="qp",
        help="what to draw: the QP map (default); the block types in categorical "
        "colours; the partitions as outlines; the bits per 16x16 area; the largest "
        "transforms (the block layers need mbgauge's FFmpeg)",
    )


class _ImageTarget:
    """Where a heatmap command's pictures go: with --frame one file (or
    standard output), whose suffix picks the image format; else PNG files
    in a directory. Checked before the file is opened."""

    def __init__(self, args: argparse.Namespace, console: Console) -> None:
        self.plan = OutputPlan([args.file], overwrite=args.overwrite)
        self.image_format: ImageFormat = "png"
        self.output: Output | None = None
        self.directory: Path | None = None
        if args.frame is None:
            self.directory = self.plan.directory(args.out)
            return
        output = outputs_per_file(self.plan, [args.file], args.out, ".png", binary=True)[0]
        if not output.is_stdout:
            chosen = image_format_of(output.shown)
            if chosen is None:
                raise CommandError(f"cannot write {output}: heatmaps are written as .png or .jpg")
            self.image_format = chosen
        report_on_stderr_if_data_on_stdout(console, [output])
        self.output = output

    def outputs(self, frames: Sequence[int]) -> dict[int, Output]:
        if self.directory is None:
            assert self.output is not None
            return {frames[0]: self.output}
        return {
            frame: self.plan.file(self.directory / f"frame_{frame:06d}.png", binary=True)
            for frame in frames
        }


def run_block_layer(args: argparse.Namespace, console: Console) -> None:
    """The command for a layer of the block structure."""
    if args.motion_vectors or args.values or args.qp_range:
        raise CommandError(
            f"--layer {args.layer} draws the block structure: "
            "--motion-vectors, --values and --qp-range go with --layer qp"
        )
    target = _ImageTarget(args, console)
    job = open_jobs([args.file], args.frames if args.frame is None else args.frame, console)[0]
    if job is None:
        return
    session = job.pool.first
    outputs = target.outputs(job.frames)
    image_format = target.image_format
    try:
        exported = len(session.get_coding_blocks(job.frames[0])) > 0
    except RuntimeError as error:
        raise CommandError(str(error)) from None
    if not exported:
        console.fail(
            f"{args.file}: no coding blocks: this FFmpeg's {session.codec} decoder exports "
            f"none for the stream (checked frame {job.frames[0]})"
        )
        return
    name = Path(args.file).name
    with progress([job], args.quiet) as bar:
        for frame, out in outputs.items():
            out.write(
                partial(block_layer_png, session, frame, args.layer, format=image_format, name=name)
            )
            bar.update()
    what = f"{args.layer} picture{'s' if len(outputs) != 1 else ''}"
    if args.frame is not None:
        console.say(f"{outputs[job.frames[0]]}: {what} of frame {args.frame} of {args.file}")
    else:
        console.say(
            f"{args.out}: {len(outputs)} {what} of frames {args.frames} of {args.file}, "
            f"frame_{job.frames[0]:06d}.png to frame_{job.frames[-1]:06d}.png"
        )


def run(args: argparse.Namespace, console: Console) -> None:
    if args.layer != "qp":
        run_block_layer(args, console)
        return
    heatmap = heatmap_options(args)
    target = _ImageTarget(args, console)
    job = open_jobs(
        [args.file],
        args.frames if args.frame is None else args.frame,
        console,
        motion_vectors=args.motion_vectors,
    )[0]
    if job is None:
        return
    session = job.pool.first
    outputs = target.outputs(job.frames)
    image_format = target.image_format
    if first_frame_says_no_qp(job, every_codec=args.frame is not None):
        console.fail(no_qp_message(args.file, session, f"frame {job.frames[0]}"))
        return
    if "qp_range" not in heatmap:
        # One colour scale for every frame, so that frames compare.
        heatmap["qp_range"] = default_qp_range(session) or _qp_range_of(job, args.workers)
    work = _HeatmapWork(outputs, heatmap, image_format)
    with progress([job], args.quiet) as bar:
        for _ in counted(run_spans([job], work, args.workers), bar):
            pass
    if args.frame is not None:
        console.say(f"{outputs[job.frames[0]]}: QP heatmap of frame {args.frame} of {args.file}")
    else:
        console.say(
            f"{args.out}: {len(outputs)} QP heatmap{'s' if len(outputs) != 1 else ''} "
            f"of frames {args.frames} of {args.file}, frame_{job.frames[0]:06d}.png to "
            f"frame_{job.frames[-1]:06d}.png"
        )


def heatmap_options(args: argparse.Namespace) -> HeatmapOptions:
    """The heatmap options from the command line, checked before any work."""
    from matplotlib import colormaps

    if args.cmap not in colormaps:
        raise CommandError(
            f"unknown colour map {args.cmap!r} (try viridis, cividis, magma, "
            f"gray or any matplotlib colour map)"
        )
    heatmap = HeatmapOptions(
        label=Path(args.file).name,
        opacity=args.opacity,
        colour_map=args.cmap,
        values=args.values,
        motion_vectors=args.motion_vectors,
    )
    if args.qp_range:
        heatmap["qp_range"] = _parse_qp_range(args.qp_range)
    return heatmap


class _HeatmapWork:
    """Renders the heatmaps of a span of frames and writes them, in a worker:
    only finished files leave the thread, never a picture. Each session (lent
    to one thread at a time) has a painter of its own.

    The span's QP maps come from one batch query, its luma planes from one
    batch query per chunk of CHUNK_FRAMES frames, so that neither fills the
    session's frame cache. Frames the batch queries cannot serve go through
    the single-frame queries: all of them with motion vectors (which have no
    batch query), and a chunk whose frames differ in picture size or format
    from one another or from the stream's first frames (the format of such
    frames is only known to the single-frame queries)."""

    def __init__(
        self, outputs: dict[int, Output], heatmap: HeatmapOptions, image_format: ImageFormat
    ) -> None:
        self.outputs, self.heatmap, self.image_format = outputs, heatmap, image_format
        self._painters: dict[int, HeatmapPainter] = {}
        self._lock = threading.Lock()

    def __call__(self, session: mbgauge.H264DecoderSession, frames: Frames) -> None:
        with self._lock:
            painter = self._painters.get(id(session))
            if painter is None:
                painter = self._painters[id(session)] = HeatmapPainter(session, **self.heatmap)
        if self.heatmap.get("motion_vectors"):
            self._write(painter, frames.tolist())
            return
        try:
            parts = maps_by_size(session, frames)
        except ValueError:
            # Sizes change where the frame table does not show it.
            self._write(painter, frames.tolist())
            return
        for part, maps in parts:
            for start in range(0, len(part), CHUNK_FRAMES):
                chunk = part[start : start + CHUNK_FRAMES]
                lumas = _first_format_lumas(session, chunk)
                if lumas is None:
                    self._write(painter, chunk.tolist())
                    continue
                for frame, qp, luma in zip(chunk.tolist(), maps[start : start + len(chunk)], lumas):
                    self._write(painter, [frame], HeatmapData(qp, luma, session.pix_fmt))

    def _write(
        self, painter: HeatmapPainter, frames: list[int], data: HeatmapData | None = None
    ) -> None:
        for frame in frames:
            self.outputs[frame].write(
                partial(painter.save, frame, format=self.image_format, data=data)
            )


def _first_format_lumas(
    session: mbgauge.H264DecoderSession, frames: Frames
) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16] | None:
    """The frames' luma planes from one batch query, or None when they do
    not all have the stream's first size and sample size."""
    try:
        lumas = session.get_planes(frames, 0)
    except ValueError:
        return None
    if (
        lumas.shape[1:] != (session.height, session.width)
        or lumas.dtype.itemsize != session.bytes_per_sample
    ):
        return None
    return lumas


def _qp_range_of(job: FrameJob, workers: int | None) -> tuple[int, int] | None:
    """The QPs of the selected frames, for a codec whose range is not known."""
    extents = [
        result.value for result in run_spans([job], _qp_extent, workers) if result.value is not None
    ]
    if not extents:
        return None
    return min(low for low, _ in extents), max(high for _, high in extents)


def _qp_extent(session: mbgauge.H264DecoderSession, frames: Frames) -> tuple[int, int] | None:
    carried = np.concatenate([maps[maps >= 0] for _, maps in maps_by_size(session, frames)])
    return (int(carried.min()), int(carried.max())) if carried.size else None


def _parse_qp_range(text: str) -> tuple[int, int]:
    try:
        low, high = (int(part) for part in text.split(":"))
    except ValueError:
        raise CommandError(f"bad QP range {text!r}: expected LOW:HIGH, e.g. 18:40") from None
    if not 0 <= low <= high <= 255:
        raise CommandError(f"bad QP range {text!r}: expected 0 <= LOW <= HIGH <= 255")
    return low, high


COMMAND = Command(
    "heatmap",
    "Draw a frame's QP map (H.264, HEVC; the quantiser scale of MPEG-1/2/4) over its "
    "picture as a colour-coded heatmap PNG, or a layer of its block structure.",
    add_arguments,
    run,
    shared=(options.FILE, options.WORKERS, options.OVERWRITE, options.QUIET),
)
