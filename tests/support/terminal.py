"""Running a command with its stderr on a pseudo-terminal, as a user at a
terminal would see it."""

from __future__ import annotations

import fcntl
import os
import pty
import struct
import subprocess
import termios


def stderr_on_terminal(command: list) -> tuple[int, bytes]:
    """Runs `command` with stderr on a 100-column terminal; its exit status
    and everything it wrote there."""
    controller, terminal_end = pty.openpty()
    fcntl.ioctl(terminal_end, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=terminal_end) as process:
        os.close(terminal_end)
        stderr = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's other end closed
                break
            if not chunk:
                break
            stderr += chunk
    os.close(controller)
    return process.returncode, stderr
