"""Running the viewer: open the files, bind the address, print the URL, open
the browser, serve until Ctrl-C or SIGTERM, and release the files."""

from __future__ import annotations

import errno
import ipaddress
import signal
import socket
import sys
import webbrowser
from collections.abc import Sequence
from contextlib import ExitStack

import uvicorn

from . import DEFAULT_PORT
from .app import create_app
from .store import ViewedFile

# Seconds the server gives open requests to finish when told to stop.
GRACEFUL_SHUTDOWN = 2


class ListenError(OSError):
    """The address cannot be listened on (taken, or not this machine's);
    the OSError that said so is its cause."""


def bind(host: str, port: int) -> socket.socket:
    """A listening socket on host:port (port 0: any free port). Bound before
    the URL is printed, so that the URL is right and a browser opened at
    once finds it."""
    try:
        family, kind, proto, _, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )[0]
    except OSError as error:
        raise ListenError(f"cannot listen on {host}: {error.strerror}") from error
    sock = socket.socket(family, kind, proto)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(address)
        sock.listen(128)
    except OSError as error:
        sock.close()
        raise ListenError(f"cannot listen on {host} port {port}: {error.strerror}") from error
    sock.set_inheritable(True)
    return sock


def url_of(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    if ipaddress.ip_address(host).version == 6:
        host = f"[{host}]"
    return f"http://{host}:{port}/"


def serve(
    paths: Sequence[str],
    *,
    host: str = "127.0.0.1",
    port: int | None = None,
    open_browser: bool = True,
    announce=print,
) -> None:
    """Serves the viewer of one or two files until interrupted. Port None:
    DEFAULT_PORT, or any free port when that one is taken."""
    with ExitStack() as stack:
        files = []
        for path in paths:
            viewed = ViewedFile(path)
            stack.callback(viewed.close)
            files.append(viewed)
        try:
            sock = bind(host, DEFAULT_PORT if port is None else port)
        except ListenError as error:
            taken = (
                isinstance(error.__cause__, OSError) and error.__cause__.errno == errno.EADDRINUSE
            )
            if port is not None or not taken:
                raise
            sock = bind(host, 0)
        stack.callback(sock.close)
        config = uvicorn.Config(
            create_app(files),
            log_level="warning",
            timeout_graceful_shutdown=GRACEFUL_SHUTDOWN,
            lifespan="off",
        )
        server = uvicorn.Server(config)
        url = url_of(sock)
        announce(f"mbgauge view: {' and '.join(f.name for f in files)} at {url}")
        announce("Press Ctrl-C to stop.")
        sys.stdout.flush()
        if open_browser:
            webbrowser.open(url)
        # uvicorn catches SIGINT and SIGTERM while it serves, shuts down
        # gracefully, and then raises the signal again for the handler it
        # found: for SIGINT Python's KeyboardInterrupt, for SIGTERM ours, so
        # that either ends here, with the files closed on the way out.
        previous = signal.signal(signal.SIGTERM, _stop)
        try:
            server.run(sockets=[sock])
        except (KeyboardInterrupt, _Stopped):
            pass
        finally:
            signal.signal(signal.SIGTERM, previous)
        announce("mbgauge view: stopped")


class _Stopped(Exception):
    """SIGTERM arrived."""


def _stop(signum: int, frame: object) -> None:
    raise _Stopped
