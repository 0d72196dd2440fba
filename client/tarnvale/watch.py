"""`tarnvale watch TARGET`: starts the probe and its engines and shows what they find, live, as JSON
lines, or both into a recording."""

from __future__ import annotations

import json
import sys
import time
from contextlib import ExitStack

from .capabilities import may_start
from .client import Probe, ProbeError
from .view_model import ViewModel


def watch(args) -> int:
    engines = [name for name in args.engines.split(",") if name]
    if not may_start(args.probe, engines):
        return 1
    try:
        with ExitStack() as stack:
            probe = stack.enter_context(Probe.start(args.probe, netns=args.netns))
            record = stack.enter_context(open(args.record, "w")) if args.record else None
            offered = probe.handshake()["engines"]
            unknown = [name for name in engines if name not in offered]
            if unknown:
                print(f"tarnvale: unknown engine(s) {', '.join(unknown)}; choose from {', '.join(offered)}",
                      file=sys.stderr)
                probe.shutdown()
                probe.wait()
                return 2
            for engine in engines:
                probe.start_engine(engine, args.target)
            model = ViewModel(engines)
            redraw = None
            if not args.json:
                from rich.live import Live  # only the live view needs rich
                from .live_view import render
                live = stack.enter_context(Live(render(model, args.target), refresh_per_second=4,
                                                screen=False, transient=False))

                def redraw():
                    live.update(render(model, args.target))
            try:
                _stream(probe, model, args, record, redraw)
            except KeyboardInterrupt:
                pass
            probe.shutdown()
            probe.wait_for(lambda e: e.get("cmd") == "shutdown", timeout=10)
            status = probe.wait()
        if args.record:
            print(f"recording: {args.record}", file=sys.stderr)
        return status
    except ProbeError as failure:
        print(f"tarnvale: {failure}", file=sys.stderr)
        return 1


def _stream(probe, model, args, record, redraw) -> None:
    deadline = None if args.duration is None else time.monotonic() + args.duration
    while deadline is None or time.monotonic() < deadline:
        wait = 0.25 if deadline is None else max(0.0, min(0.25, deadline - time.monotonic()))
        event = probe.next_event(wait)
        if event is not None:
            model.apply(event)
            if record is not None:
                record.write(json.dumps({"at": time.time(), "event": event}) + "\n")
                record.flush()
            if args.json:
                print(json.dumps(event), flush=True)
        if redraw is not None:
            redraw()
