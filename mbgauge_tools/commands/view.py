"""`mbgauge view`: one file, or two encodes of one source side by side, in
the browser (the server is mbgauge_tools.view)."""

from __future__ import annotations

import argparse

from ..view import DEFAULT_PORT
from .base import Command, Console


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="a video file")
    parser.add_argument(
        "file2", nargs="?", metavar="FILE2", help="a second file, shown beside the first"
    )
    parser.add_argument(
        "--port",
        type=_port,
        help=f"the port to listen on (default: {DEFAULT_PORT}, or any free one if it is taken; "
        "0: any free one)",
    )
    parser.add_argument(
        "--host",
        default="127.0.0.1",
        metavar="ADDR",
        help="the address to listen on (default: 127.0.0.1, this machine only)",
    )
    parser.add_argument(
        "--no-browser", action="store_true", help="print the URL without opening a browser"
    )


def run(args: argparse.Namespace, console: Console) -> None:
    try:
        from ..view.server import serve
    except ImportError as error:
        raise RuntimeError(
            f"mbgauge view needs the view extra (pip install 'mbgauge[view]'): {error}"
        ) from None
    paths = [args.file] + ([args.file2] if args.file2 else [])
    serve(
        paths,
        host=args.host,
        port=args.port,
        open_browser=not args.no_browser,
        announce=console.say,
    )


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}")
    return int(text)


COMMAND = Command(
    "view",
    "Look at one file, or two encodes of one source side by side, in the browser: the "
    "picture with its QP map, block structure and motion vectors, a timeline of frame "
    "sizes and mean QP, the facts of each frame.",
    add_arguments,
    run,
)
