"""`tarnvale watch TARGET`: starts the probe and its engines and shows what they find, live, as JSON
lines, or both into a recording. A recording holds one entry per line, each event with its arrival time; the
first also carries the probe's CAPS reply, whose facts the chart needs."""

from __future__ import annotations

import json
import sys
import time
from contextlib import ExitStack
from typing import Optional

from .capabilities import may_start
from .client import Probe, ProbeError
from .events import parse_event
from .view_model import ViewModel


def watch(args) -> int:
    engines = [name for name in args.engines.split(",") if name]
    if not may_start(args.probe, engines):
        return 1
    try:
        with ExitStack() as stack:
            probe = stack.enter_context(Probe.start(args.probe, netns=args.netns))
            caps = probe.handshake()
            offered = caps["engines"]
            unknown = [name for name in engines if name not in offered]
            if unknown:
                print(f"tarnvale: unknown engine(s) {', '.join(unknown)}; choose from {', '.join(offered)}",
                      file=sys.stderr)
                probe.shutdown()
                probe.wait()
                return 2
            recorder = Recorder(stack.enter_context(open(args.record, "w")), caps) if args.record else None
            for engine in engines:
                probe.start_engine(engine, args.target)
            model = ViewModel(engines, probe.facts)
            redraw = None
            if not args.json:
                from rich.live import Live  # only the live view needs rich
                from .live_view import render
                live = stack.enter_context(Live(render(model, args.target), refresh_per_second=4,
                                                screen=False, transient=False))

                def redraw():
                    live.update(render(model, args.target))
            try:
                _stream(probe, model, args, recorder, redraw)
            except KeyboardInterrupt:
                pass
            probe.shutdown()
            probe.wait_for(lambda e: e.get("cmd") == "shutdown", timeout=10)
            status = probe.wait()
            if status != 0:
                print(f"tarnvale: the probe ended with status {status}: {probe.stderr_text().strip()}", file=sys.stderr)
        if args.record:
            print(f"recording: {args.record}", file=sys.stderr)
        return status
    except ProbeError as failure:
        print(f"tarnvale: {failure}", file=sys.stderr)
        return 1


class Recorder:
    """Writes each event with its arrival time as one line, the CAPS reply into the first."""

    def __init__(self, file, caps: dict):
        self.file = file
        self.caps: Optional[dict] = caps

    def write(self, event: dict) -> None:
        entry = {"at": time.time(), "event": event}
        if self.caps is not None:
            entry["caps"], self.caps = self.caps, None
        self.file.write(json.dumps(entry) + "\n")
        self.file.flush()


def _stream(probe, model, args, recorder: Optional[Recorder], redraw) -> None:
    deadline = None if args.duration is None else time.monotonic() + args.duration
    while deadline is None or time.monotonic() < deadline:
        wait = 0.25 if deadline is None else max(0.0, min(0.25, deadline - time.monotonic()))
        event = probe.next_event(wait)
        if event is not None:
            model.apply(parse_event(event))
            if recorder is not None:
                recorder.write(event)
            if args.json:
                print(json.dumps(event), flush=True)
        if redraw is not None:
            redraw()
