"""The viewer's web application: the page's static files and a few JSON
endpoints over the files named on the command line.

Files are chosen by their position on the command line (`?file=0`, the
default, or `?file=1`), frames by their display-order index; nothing in a
request ever becomes a filesystem path. Every refusal is a 404 with a JSON
body `{"error": "..."}`.
"""

from __future__ import annotations

import json
import re
from collections.abc import Sequence
from importlib import resources
from typing import Any

import anyio.to_thread
import numpy as np
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

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
_MOTION_VECTOR_FIELDS = (
    *("source", "w", "h", "src_x", "src_y", "dst_x", "dst_y"),
    *("motion_x", "motion_y", "motion_scale"),
)


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
        viewed, data = await frame_of(request)
        return JSONResponse(frame_facts(viewed, data))

    async def qp(request: Request) -> Response:
        viewed, data = await frame_of(request)
        return JSONResponse(
            {
                "frame": data.index,
                "cell": 16,
                "rows": int(data.qp.shape[0]),
                "cols": int(data.qp.shape[1]),
                "qp": data.qp.tolist(),
            }
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
        difference = (second - first).astype(object)
        difference[(first < 0) | (second < 0)] = None
        return JSONResponse(
            {"frame": index, "cell": 16, "rows": first.shape[0], "cols": first.shape[1]}
            | {"qp_difference": difference.tolist()}
        )

    async def picture(request: Request) -> Response:
        _, data = await frame_of(request)
        return Response(data.picture, media_type="image/jpeg")

    async def blocks(request: Request) -> Response:
        viewed, data = await frame_of(request)
        fields = data.blocks.dtype.names or ()
        return JSONResponse(
            {
                "frame": data.index,
                "coding_blocks": viewed.coding_blocks,
                "count": len(data.blocks),
                "blocks": {name: data.blocks[name].tolist() for name in fields},
            }
        )

    async def vectors(request: Request) -> Response:
        _, data = await frame_of(request)
        names = data.vectors.dtype.names or ()
        return JSONResponse(
            {
                "frame": data.index,
                "count": len(data.vectors),
                "vectors": {
                    name: data.vectors[name].tolist()
                    for name in _MOTION_VECTOR_FIELDS
                    if name in names
                },
            }
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


def frame_facts(viewed: ViewedFile, data: FrameData) -> dict[str, Any]:
    row = viewed.table[data.index]
    carried = data.qp[data.qp >= 0]
    return {
        "frame": data.index,
        "num_frames": viewed.num_frames,
        "pict_type": str(row["pict_type"]),
        "key": bool(row["key"]),
        "pts": int(row["pts"]),
        "time": float(row["time"]),
        "packet_size": int(row["packet_size"]),
        "width": data.width,
        "height": data.height,
        "pix_fmt": data.pix_fmt,
        "qp_mean": float(carried.mean()) if carried.size else None,
        "qp_min": int(carried.min()) if carried.size else None,
        "qp_max": int(carried.max()) if carried.size else None,
        "chroma_qp_offsets": list(data.chroma_qp_offsets),
        "blocks": len(data.blocks),
        "motion_vectors": len(data.vectors),
    }


def _frame_table_json(viewed: ViewedFile) -> bytes:
    table = viewed.table
    return json.dumps(
        {
            "num_frames": len(table),
            "pts": table["pts"].tolist(),
            "time": table["time"].tolist(),
            "key": table["key"].tolist(),
            "pict_type": "".join(table["pict_type"].tolist()),
            "packet_size": table["packet_size"].tolist(),
        },
        separators=(",", ":"),
    ).encode()
