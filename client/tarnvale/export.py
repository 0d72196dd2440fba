"""`tarnvale export TARGET [TARGET ...] --listen ADDR:PORT`: keeps one probe per target running, starting
another after one ends (waiting 1 s, then twice as long each time up to a minute, and 1 s again once a probe
has run for a minute), and serves their figures in Prometheus' text format at /metrics."""

from __future__ import annotations

import signal
import sys
import threading
import time
from typing import Optional

from .capabilities import may_start
from .client import Probe, ProbeError
from .events import parse_event
from .metrics import PathMetrics

FIRST_WAIT_SECONDS = 1.0
LONGEST_WAIT_SECONDS = 60.0
# A probe that ran this long ended for a reason of its own, not of its start: the wait starts again from 1 s.
STEADY_SECONDS = 60.0


def parse_listen(text: str) -> tuple[str, int]:
    """ADDR:PORT (an IPv6 address in brackets) as (address, port)."""
    address, separator, port = text.rpartition(":")
    if not separator or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError(f"--listen takes ADDR:PORT, not {text!r}")
    return (address.strip("[]") or "127.0.0.1"), int(port)


class ProbeKeeper(threading.Thread):
    """Runs one target's probe, hands its events to the metrics, and starts another when it ends."""

    def __init__(self, target: str, engines: list[str], probe_binary: str, netns: Optional[str],
                 metrics: PathMetrics, stop: threading.Event):
        super().__init__(name=f"probe {target}", daemon=True)
        self.target, self.engines, self.probe_binary, self.netns = target, engines, probe_binary, netns
        self.metrics, self.stop = metrics, stop

    def run(self) -> None:
        wait = FIRST_WAIT_SECONDS
        while not self.stop.is_set():
            started = time.monotonic()
            try:
                self._run_probe()
            except ProbeError as failure:
                print(f"tarnvale export: {self.target}: {failure}", file=sys.stderr)
            self.metrics.probe_ended(self.target, restarting=not self.stop.is_set())
            if time.monotonic() - started >= STEADY_SECONDS:
                wait = FIRST_WAIT_SECONDS
            self.stop.wait(wait)
            wait = min(2 * wait, LONGEST_WAIT_SECONDS)

    def _run_probe(self) -> None:
        with Probe.start(self.probe_binary, netns=self.netns) as probe:
            probe.handshake()
            for engine in self.engines:
                probe.start_engine(engine, self.target)
            self.metrics.probe_started(self.target, probe.facts)
            while not self.stop.is_set():
                event = probe.next_event(timeout=0.5)
                if event is not None:
                    self.metrics.event(self.target, parse_event(event))
            probe.shutdown()


def export(args) -> int:
    from prometheus_client import start_http_server
    from prometheus_client.core import CollectorRegistry

    try:
        address, port = parse_listen(args.listen)
    except ValueError as problem:
        print(f"tarnvale: {problem}", file=sys.stderr)
        return 2
    engines = [name for name in args.engines.split(",") if name]
    if not may_start(args.probe, engines):
        return 1
    metrics = PathMetrics(args.targets)
    registry = CollectorRegistry()
    registry.register(metrics)
    stop = threading.Event()
    # The processes are the host's, the same for every target: one probe counts them.
    keepers = [ProbeKeeper(target, engines if index == 0 else [name for name in engines if name != "attr"],
                           args.probe, args.netns, metrics, stop)
               for index, target in enumerate(args.targets)]
    try:
        start_http_server(port, addr=address, registry=registry)
    except OSError as failure:
        print(f"tarnvale: cannot listen on {address}:{port}: {failure.strerror}", file=sys.stderr)
        return 1
    print(f"serving metrics at http://{args.listen}/metrics for {', '.join(args.targets)}", flush=True)
    # The handler only notes the signal: run between two bytecodes of the main
    # thread, one that took a lock (Event.set in it, while Event.wait holds the
    # same lock) could wait for itself for ever.
    terminated = []
    signal.signal(signal.SIGTERM, lambda *_: terminated.append(True))
    for keeper in keepers:
        keeper.start()
    try:
        while not terminated:
            time.sleep(0.2)
    except KeyboardInterrupt:
        pass
    stop.set()
    for keeper in keepers:
        keeper.join(timeout=15)
    return 0
