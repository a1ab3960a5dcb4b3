"""The subcommands of `mbgauge`, one module each.

A module describes its subcommand in a `COMMAND` (base.Command): name,
summary, the shared options it takes (options.py), its own arguments and its
runner. The decoding subcommands run each file through driver.py. Adding a
subcommand is a new module here plus its line in COMMANDS below."""

from __future__ import annotations

from . import dataset, frames, heatmap, info, qp, stats, view
from .base import Command

# In the order `mbgauge --help` lists them.
COMMANDS: tuple[Command, ...] = (
    info.COMMAND,
    frames.COMMAND,
    qp.COMMAND,
    stats.COMMAND,
    heatmap.COMMAND,
    dataset.COMMAND,
    view.COMMAND,
)
