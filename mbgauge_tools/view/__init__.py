"""`mbgauge view`: a stream analyzer in the browser. A local web server shows
one or two files frame by frame, with their QP maps, block structure and
motion vectors drawn over the picture, and a timeline of frame sizes.

    from mbgauge_tools.view import serve
    serve(["video.mp4"], port=8000, open_browser=False)

The JSON endpoints are documented in docs/view.md. The server's modules
need the `view` extra (Starlette, uvicorn); they are imported on first use,
so that the command line loads without them.
"""

from typing import Any

# The port tried first when none is given; a free one is taken if it is busy.
DEFAULT_PORT = 8000

__all__ = ["DEFAULT_PORT", "FrameData", "FrameNotFound", "ViewedFile", "create_app", "serve"]


def __getattr__(name: str) -> Any:
    if name == "create_app":
        from .app import create_app

        return create_app
    if name == "serve":
        from .server import serve

        return serve
    if name in ("FrameData", "FrameNotFound", "ViewedFile"):
        from . import store

        return getattr(store, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
