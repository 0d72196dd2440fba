"""The exporter's page at /: what it measures and how its config file was last taken, for the operator who opens
the exporter's address in a browser."""

from __future__ import annotations

import time
from dataclasses import dataclass
from html import escape
from typing import TYPE_CHECKING, Optional

from .export_config import TargetConfig

if TYPE_CHECKING:
    from .export import Reading


@dataclass(frozen=True)
class TargetStatus:
    entry: TargetConfig
    up: bool
    restarts: int


def _utc(when: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(when))


def landing_page(version: str, targets: list[TargetStatus], config_path: Optional[str],
                 last_reading: Optional["Reading"]) -> str:
    if config_path is None:
        config = "<p>Config file: none (the targets come from the command line).</p>"
    else:
        config = f"<p>Config file: <code>{escape(config_path)}</code></p>"
        if last_reading is not None and last_reading.problem is None:
            config += f"<p>Last reload: successful at {_utc(last_reading.when)}</p>"
        elif last_reading is not None:
            config += (f"<p>Last reload: <strong>failed</strong> at {_utc(last_reading.when)}, the targets before it "
                       f"run on: {escape(last_reading.problem)}</p>")
    rows = "\n".join(
        f"<tr><td>{escape(status.entry.target)}</td><td>{'up' if status.up else 'down'}</td>"
        f"<td>{status.restarts}</td><td>{escape(', '.join(status.entry.engines))}</td>"
        f"<td>{escape(', '.join(f'{name}={value}' for name, value in status.entry.labels))}</td></tr>"
        for status in targets)
    return f"""<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>tarnvale exporter</title></head>
<body>
<h1>tarnvale exporter</h1>
<p>Version {escape(version)}</p>
<p><a href="/metrics">Metrics</a></p>
{config}
<h2>Targets</h2>
<table>
<tr><th>target</th><th>probe</th><th>restarts</th><th>engines</th><th>labels</th></tr>
{rows}
</table>
</body>
</html>
"""
