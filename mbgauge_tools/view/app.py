"""The viewer's web application: the page's static files and a few JSON
endpoints over the files named on the command line.

Files are chosen by their position on the command line (`?file=0`, the
default, or `?file=1`), frames by their display-order index; nothing in a
request ever becomes a filesystem path. Every refusal is a 404 with a JSON
body `{"error": "..."}`.
"""

from __future__ import annotations

import re
from collections.abc import Awaitable, Callable, Sequence
from importlib import resources
from typing import Any

import anyio.to_thread
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from . import bodies
from .store import FrameData, FrameNotFound, ViewedFile

_CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".png": "image/png",
    ".svg": "image/svg+xml",
}
# Indices are at most this many digits: larger numbers name no frame, and
# are refused before they are parsed.
_INDEX = re.compile(r"\d{1,9}")


def static_files() -> dict[str, tuple[bytes, str]]:
    """The page's files shipped in the package, by name, read once."""
    files = {}
    for entry in resources.files(__package__).joinpath("static").iterdir():
        content_type = _CONTENT_TYPES.get("." + entry.name.rpartition(".")[2])
        if entry.is_file() and content_type is not None:
            files[entry.name] = (entry.read_bytes(), content_type)
    return files


def create_app(files: Sequence[ViewedFile]) -> Starlette:
    """The application serving `files` (one or two) and the page."""
    statics = static_files()
    frame_tables: dict[int, bytes] = {}

    def not_found(message: str) -> HTTPException:
        return HTTPException(404, message)

    def chosen_file(request: Request) -> tuple[int, ViewedFile]:
        text = request.query_params.get("file", "0")
        if not _INDEX.fullmatch(text) or int(text) >= len(files):
            raise not_found(f"no file {text!r}: the files are 0..{len(files) - 1}")
        return int(text), files[int(text)]

    def frame_index(request: Request) -> int:
        text = request.path_params["index"]
        if not _INDEX.fullmatch(text):
            raise not_found(f"no frame {text!r}: frames are numbered 0, 1, 2, ...")
        return int(text)

    async def frame_of(request: Request) -> tuple[ViewedFile, FrameData]:
        _, viewed = chosen_file(request)
        index = frame_index(request)
        try:
            viewed.check_index(index)
            data = await anyio.to_thread.run_sync(viewed.frame, index)
        except FrameNotFound as error:
            raise not_found(str(error)) from None
        except RuntimeError as error:
            # A frame the decoder cannot decode (a damaged file).
            raise HTTPException(500, str(error)) from None
        return viewed, data

    async def page(request: Request) -> Response:
        body, content_type = statics["index.html"]
        return Response(body, media_type=content_type)

    async def static(request: Request) -> Response:
        found = statics.get(request.path_params["name"])
        if found is None:
            raise not_found("no such file")
        return Response(found[0], media_type=found[1])

    async def file_list(request: Request) -> Response:
        return JSONResponse([viewed.describe(i) for i, viewed in enumerate(files)])

    async def frame_table(request: Request) -> Response:
        position, viewed = chosen_file(request)
        if position not in frame_tables:
            frame_tables[position] = await anyio.to_thread.run_sync(_frame_table_json, viewed)
        return Response(frame_tables[position], media_type="application/json")

    async def qp_means(request: Request) -> Response:
        _, viewed = chosen_file(request)
        start = request.query_params.get("start", "0")
        if not _INDEX.fullmatch(start):
            raise not_found(f"bad start {start!r}")
        scanned, values = viewed.mean_qp(int(start))
        return JSONResponse({"start": int(start), "scanned": scanned, "mean_qp": values})

    async def facts(request: Request) -> Response:
        _, data = await frame_of(request)
        return Response(data.facts, media_type="application/json")

    async def picture(request: Request) -> Response:
        _, data = await frame_of(request)
        return Response(data.picture, media_type="image/jpeg")

    def table(
        make_json: Callable[[FrameData], dict[str, Any]],
        make_packed: Callable[[FrameData], bytes],
    ) -> Callable[[Request], Awaitable[Response]]:
        """An endpoint answering JSON, or packed columns with ?format=binary."""

        async def endpoint(request: Request) -> Response:
            _, data = await frame_of(request)
            if request.query_params.get("format") == "binary":
                body = await anyio.to_thread.run_sync(make_packed, data)
                return Response(body, media_type="application/octet-stream")
            body = await anyio.to_thread.run_sync(lambda: bodies.encode(make_json(data)))
            return Response(body, media_type="application/json")

        return endpoint

    qp = table(
        lambda d: bodies.qp_map(d.index, d.qp),
        lambda d: bodies.packed(
            {"frame": d.index, "rows": d.qp.shape[0], "cols": d.qp.shape[1]},
            {"qp": d.qp.ravel()},
        ),
    )
    blocks = table(
        lambda d: bodies.blocks(d.index, d.blocks, d.coding_blocks),
        lambda d: bodies.packed_table(
            {"frame": d.index, "coding_blocks": d.coding_blocks}, d.blocks
        ),
    )
    vectors = table(
        lambda d: bodies.vectors(d.index, d.vectors),
        lambda d: bodies.packed_table({"frame": d.index}, d.vectors, bodies.MOTION_VECTOR_FIELDS),
    )

    async def qp_difference(request: Request) -> Response:
        if len(files) < 2:
            raise not_found("the QP difference needs two files")
        index = frame_index(request)
        maps = []
        for viewed in files:
            try:
                viewed.check_index(index)
            except FrameNotFound as error:
                raise not_found(str(error)) from None
            maps.append((await anyio.to_thread.run_sync(viewed.frame, index)).qp)
        first, second = maps
        if first.shape != second.shape:
            raise not_found(
                f"frame {index} has {first.shape[0]}x{first.shape[1]} cells in file 0 "
                f"but {second.shape[0]}x{second.shape[1]} in file 1"
            )
        return Response(
            bodies.encode(bodies.qp_difference(index, first, second)),
            media_type="application/json",
        )

    async def refused(request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        return JSONResponse({"error": error.detail}, status_code=error.status_code)

    routes = [
        Route("/", page),
        Route("/static/{name}", static),
        Route("/api/files", file_list),
        Route("/api/frames", frame_table),
        Route("/api/qp-means", qp_means),
        Route("/api/frame/{index}/facts", facts),
        Route("/api/frame/{index}/qp", qp),
        Route("/api/frame/{index}/qp-difference", qp_difference),
        Route("/api/frame/{index}/picture", picture),
        Route("/api/frame/{index}/blocks", blocks),
        Route("/api/frame/{index}/vectors", vectors),
    ]
    return Starlette(routes=routes, exception_handlers={HTTPException: refused})


def _frame_table_json(viewed: ViewedFile) -> bytes:
    table = viewed.table
    return bodies.encode(
        {
            "num_frames": len(table),
            **bodies.columns(table, ("pts", "time", "key", "packet_size")),
            "pict_type": "".join(table["pict_type"].tolist()),
        }
    )
