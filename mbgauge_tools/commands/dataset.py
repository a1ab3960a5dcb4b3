"""`mbgauge dataset`: per-frame QP statistics of many files as a Parquet
dataset, on threads or on a Dask cluster (mbgauge_tools.dataset)."""

from __future__ import annotations

import argparse

from . import options
from .base import Command, CommandError, Console


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "paths",
        nargs="+",
        metavar="PATH",
        help="a video file, a directory "
        "(searched recursively for video files), @LIST (a text file of paths), or a URL "
        "(s3://bucket/videos/*.mp4: a glob, or a prefix searched for video files)",
    )
    parser.add_argument(
        "--out",
        required=True,
        metavar="DIR",
        help="the dataset's directory, or a URL (s3://bucket/qp-dataset)",
    )
    parser.add_argument(
        "--maps",
        action="store_true",
        help="also write each file's QP maps as a Zarr store in OUT/maps/",
    )
    parser.add_argument(
        "--scheduler",
        metavar="tcp://HOST:PORT",
        help="run the files as tasks on this Dask cluster (default: threads of this process)",
    )
    parser.add_argument(
        "--resume",
        action="store_true",
        help="keep the files a previous run into DIR completed and do the rest",
    )
    # Not the shared -y: what it replaces is a whole dataset, not a file.
    parser.add_argument(
        "-y", "--overwrite", action="store_true", help="replace a dataset already in DIR"
    )


def run(args: argparse.Namespace, console: Console) -> int:
    try:
        from .. import dataset
    except ImportError as error:
        raise CommandError(
            f"mbgauge dataset needs {error.name}: pip install 'mbgauge[dataset]'"
        ) from None
    try:
        return dataset.run_command(args)
    except ImportError as error:  # a URL without the remote extra
        raise CommandError(str(error)) from None


COMMAND = Command(
    "dataset",
    "Per-frame QP statistics (H.264, HEVC, MPEG-1/2/4) of many files as a Parquet "
    "dataset (OUT/frames/, OUT/files.parquet), on this machine or on a Dask cluster; "
    "exit status 1 when any file could not be read.",
    add_arguments,
    run,
    shared=(options.QUIET,),
)
