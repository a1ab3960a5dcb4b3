"""The stream properties a session reports."""

from __future__ import annotations

from mbgauge import H264DecoderSession

PROPERTIES = ("codec", "width", "height", "mb_cols", "mb_rows", "num_frames", "fps", "fps_num",
              "fps_den", "pix_fmt", "bytes_per_sample")


def stream_info(session: H264DecoderSession) -> dict[str, int | float | str]:
    """The stream properties of a session, by name, in their documented order."""
    return {name: getattr(session, name) for name in PROPERTIES}
