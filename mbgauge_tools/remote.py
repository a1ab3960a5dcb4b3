"""Inputs and outputs named by URL (``s3://``, ``gs://``, ``https://``, ...).

fsspec turns a URL into a seekable binary file object, which the session
reads through FFmpeg's I/O callbacks; FFmpeg's own network protocols are not
used. fsspec comes with the ``remote`` extra (``pip install mbgauge[remote]``)
and finds credentials where its back ends always look (environment variables,
profiles, fsspec's configuration); they are never printed.
"""

from __future__ import annotations

import errno
import os
import re
from typing import Any
from urllib.parse import urlsplit, urlunsplit

_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]+)://")

# Schemes that never need fsspec to mean what they mean.
_LOCAL = ("file", "local")


def url_scheme(name: object) -> str | None:
    """The scheme of a URL given as str (lower case), None for anything else."""
    if not isinstance(name, str):
        return None
    match = _URL.match(name)
    return match.group(1).lower() if match else None


def is_remote(name: object) -> bool:
    """True for a URL whose scheme names something other than a local file."""
    scheme = url_scheme(name)
    return scheme is not None and scheme not in _LOCAL


def shown(url: str) -> str:
    """The URL as messages and the index cache name it: without a user name,
    password or query string (a signed URL's signature and token)."""
    parts = urlsplit(url)
    host = parts.netloc.rsplit("@", 1)[-1]
    return urlunsplit((parts.scheme, host, parts.path, "", ""))


def _fsspec() -> Any:
    try:
        import fsspec
    except ImportError as error:
        raise ImportError("reading URLs needs fsspec: pip install 'mbgauge[remote]'") from error
    return fsspec


def _known_scheme(scheme: str) -> bool:
    try:
        from fsspec.registry import known_implementations, registry
    except ImportError:
        # Without fsspec only the schemes everyone means as URLs are taken
        # for URLs (and then fail with the hint to install it).
        return scheme in ("http", "https", "s3", "s3a", "gs", "gcs", "az", "abfs")
    return scheme in known_implementations or scheme in registry


def _open_error(kind: type[OSError], code: int, url: str, reason: str) -> OSError:
    import mbgauge

    classes = {
        errno.ENOENT: mbgauge.InputNotFoundError,
        errno.EACCES: mbgauge.InputPermissionError,
        errno.EISDIR: mbgauge.InputIsADirectoryError,
    }
    error = classes.get(code, kind)(f"Cannot open input video: {url} ({reason})")
    error.errno = code
    return error


def _http_status(error: BaseException | None) -> int | None:
    """The HTTP status an error carries, or one it was raised from carries
    (fsspec's HTTP back end turns every failed request into
    FileNotFoundError, raised from the client's error)."""
    seen = 0
    while error is not None and seen < 8:
        status = getattr(error, "status", None)
        if isinstance(status, int):
            return status
        error, seen = error.__cause__ or error.__context__, seen + 1
    return None


def _identity(url: str, info: dict[str, Any]) -> str:
    """What names this content for the index cache: "" when nothing does."""
    tags = [
        f"{key} {info[key]}"
        for key in ("ETag", "etag", "VersionId", "generation", "md5Hash", "LastModified", "mtime")
        if info.get(key) not in (None, "")
    ]
    if not tags:
        return ""
    return "\n".join([f"url {url}", f"size {info.get('size')}", *tags])


def filesystem(url: str) -> tuple[Any, str]:
    """fsspec's filesystem for ``url`` and the path within it."""
    return _fsspec().core.url_to_fs(url)


def open_url(url: str, read_size: int) -> tuple[Any, str, str] | str | None:
    """Opens ``url`` for H264DecoderSession.

    Returns None for a scheme fsspec does not know (the str is then a local
    path), a local path for ``file://``, or (file object, identity, name)
    where the file reads ``read_size`` bytes per request, the identity names
    the object's exact content for the index cache ("" when nothing does) and
    the name is the URL to show in messages (see `shown`).
    """
    scheme = url_scheme(url)
    if scheme is None or not _known_scheme(scheme):
        return None
    if scheme in _LOCAL:
        return os.fspath(url.split("://", 1)[1])
    name = shown(url)
    fs, path = filesystem(url)
    try:
        fs.invalidate_cache(path)
        info = fs.info(path)
        if info.get("type") == "directory":
            raise _open_error(IsADirectoryError, errno.EISDIR, name, "Is a directory")
        file = fs.open(path, "rb", block_size=read_size, cache_type="none")
    # Raised from None: the back end's own error names the URL as given,
    # credentials and all.
    except FileNotFoundError as error:
        if _http_status(error) in (401, 403):
            raise _open_error(PermissionError, errno.EACCES, name, "Permission denied") from None
        raise _open_error(
            FileNotFoundError, errno.ENOENT, name, "No such file or directory"
        ) from None
    except PermissionError:
        raise _open_error(PermissionError, errno.EACCES, name, "Permission denied") from None
    except OSError:
        raise
    except Exception as error:
        if _http_status(error) in (401, 403):
            raise _open_error(PermissionError, errno.EACCES, name, "Permission denied") from None
        raise
    return file, _identity(name, info), name
