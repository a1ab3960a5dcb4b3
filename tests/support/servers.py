"""Servers the remote-input tests start on 127.0.0.1 and stop again.

- ``RangeServer``: a small threading HTTP server that serves the files of a
  directory with byte ranges and ETags (``python -m http.server`` has no
  ranges), counts what it sent, refuses names starting with ``private``
  (403), and can be told to drop the connection part-way through a reply.
- ``moto_server``: moto's S3 API server (``moto_server``), and
  ``gcs_emulator``: a Google Cloud Storage API server
  (``gcp-storage-emulator``), both run from the environment scripts/setup.sh
  makes for them (.venv-moto, or $MBGAUGE_MOTO_VENV), whose pins would clash
  with s3fs's in .venv.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import re
import socket
import subprocess
import threading
from collections.abc import Iterator
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


class RangeServer:
    """Serves ``directory`` at ``self.url``; ``requests`` and ``bytes_sent``
    count the GETs answered and the body bytes written."""

    def __init__(self, directory: Path) -> None:
        self.directory = Path(directory)
        self.requests = 0
        self.bytes_sent = 0
        # A GET that would send bytes beyond this offset of a file sends up to
        # it and then closes the connection (None: never).
        self.drop_after: int | None = None
        self._lock = threading.Lock()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, format: str, *args: object) -> None:
                pass

            def _target(self) -> Path | None:
                name = self.path.split("?", 1)[0].lstrip("/")
                path = server.directory / name
                if "/" in name or not path.is_file():
                    self.send_error(404)
                    return None
                if name.startswith("private"):
                    self.send_error(403)
                    return None
                return path

            def _headers(self, status: int, length: int, etag: str, extra: dict) -> None:
                self.send_response(status)
                self.send_header("Content-Length", str(length))
                self.send_header("Accept-Ranges", "bytes")
                self.send_header("ETag", etag)
                self.send_header("Content-Type", "application/octet-stream")
                for key, value in extra.items():
                    self.send_header(key, value)
                self.end_headers()

            def do_HEAD(self) -> None:
                path = self._target()
                if path is not None:
                    data = path.read_bytes()
                    self._headers(200, len(data), _etag(data), {})

            def do_GET(self) -> None:
                path = self._target()
                if path is None:
                    return
                data = path.read_bytes()
                start, end, status, extra = 0, len(data) - 1, 200, {}
                match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
                if match:
                    start = int(match.group(1))
                    end = min(int(match.group(2) or end), len(data) - 1)
                    if start >= len(data):
                        self._headers(416, 0, _etag(data), {})
                        return
                    status = 206
                    extra = {"Content-Range": f"bytes {start}-{end}/{len(data)}"}
                body = data[start : end + 1]
                with server._lock:
                    drop = server.drop_after
                if drop is not None and end >= drop:
                    body = body[: max(drop - start, 0)]
                    self.close_connection = True
                # Counted before the client can have the reply, so that a
                # count read after the client is done includes it.
                with server._lock:
                    server.requests += 1
                    server.bytes_sent += len(body)
                self._headers(status, len(data[start : end + 1]), _etag(data), extra)
                self.wfile.write(body)
                if drop is not None and end >= drop:
                    self.wfile.flush()
                    self.connection.shutdown(socket.SHUT_RDWR)

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self._server.server_address[1]}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def reset_counts(self) -> None:
        with self._lock:
            self.requests = 0
            self.bytes_sent = 0

    def __enter__(self) -> RangeServer:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()


def _etag(data: bytes) -> str:
    return '"' + hashlib.sha256(data).hexdigest()[:32] + '"'


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def server_executable(name: str) -> Path | None:
    """`name` in the servers' environment, if it is installed there."""
    venv = Path(os.environ.get("MBGAUGE_MOTO_VENV", ROOT / ".venv-moto"))
    executable = venv / "bin" / name
    return executable if executable.exists() else None


def moto_executable() -> Path | None:
    return server_executable("moto_server")


@contextlib.contextmanager
def _listening(name: str, arguments: list[str]) -> Iterator[str]:
    """Runs server `name` of the servers' environment with `arguments` (in
    which "{port}" stands for a free port of 127.0.0.1) until the block
    ends; yields its base URL once it listens."""
    executable = server_executable(name)
    if executable is None:
        raise RuntimeError(f"{name} not found: run ./scripts/setup.sh (it makes .venv-moto)")
    port = _free_port()
    process = subprocess.Popen(
        [str(executable), *(argument.format(port=port) for argument in arguments)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        for _ in range(600):
            if process.poll() is not None:
                raise RuntimeError(f"{name} exited with {process.returncode}")
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.1):
                break
            threading.Event().wait(0.05)
        else:
            raise RuntimeError(f"{name} did not start listening")
        yield f"http://127.0.0.1:{port}"
    finally:
        process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def moto_server() -> contextlib.AbstractContextManager[str]:
    """moto's S3 server on a free port of 127.0.0.1; yields its endpoint URL."""
    return _listening("moto_server", ["-H", "127.0.0.1", "-p", "{port}"])


@contextlib.contextmanager
def _environment(settings: dict[str, str], fsspec_conf: dict[str, dict]) -> Iterator[None]:
    """Environment variables and fsspec configuration set for the block."""
    import fsspec

    earlier = {key: os.environ.get(key) for key in settings}
    earlier_conf = {key: fsspec.config.conf.get(key) for key in fsspec_conf}
    os.environ.update(settings)
    fsspec.config.conf.update(fsspec_conf)
    try:
        yield
    finally:
        for key, value in earlier.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        for key, conf in earlier_conf.items():
            if conf is None:
                fsspec.config.conf.pop(key, None)
            else:
                fsspec.config.conf[key] = conf


@contextlib.contextmanager
def gcs_endpoint() -> Iterator[str]:
    """A Google Cloud Storage API server (kept in memory), found by gcsfs
    through STORAGE_EMULATOR_HOST, with anonymous access."""
    arguments = ["start", "--host", "127.0.0.1", "--port", "{port}", "--in-memory"]
    with _listening("gcp-storage-emulator", arguments) as endpoint:
        anonymous = {"token": "anon", "project": "mbgauge-tests"}
        with _environment({"STORAGE_EMULATOR_HOST": endpoint}, {"gs": anonymous, "gcs": anonymous}):
            yield endpoint


@contextlib.contextmanager
def s3_endpoint() -> Iterator[str]:
    """moto's S3 server, with the environment every S3 client of the test
    (this process, Dask workers, the mbgauge command) finds it by: test
    credentials in the standard variables and the endpoint in fsspec's
    configuration (FSSPEC_S3_ENDPOINT_URL, read when fsspec is imported;
    set in this process's fsspec configuration too)."""
    with moto_server() as endpoint:
        settings = {
            "AWS_ACCESS_KEY_ID": "testing",
            "AWS_SECRET_ACCESS_KEY": "testing",
            "AWS_DEFAULT_REGION": "us-east-1",
            "FSSPEC_S3_ENDPOINT_URL": endpoint,
            # botocore's default checksums of multipart uploads are more than
            # moto's server completes (it answers 500).
            "AWS_REQUEST_CHECKSUM_CALCULATION": "when_required",
            "AWS_RESPONSE_CHECKSUM_VALIDATION": "when_required",
        }
        with _environment(settings, {"s3": {"endpoint_url": endpoint}}):
            yield endpoint
