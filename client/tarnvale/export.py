"""`tarnvale export [TARGET ...] [--config FILE] --listen ADDR:PORT`: keeps one probe per target running, starting
another after one ends (waiting 1 s, then twice as long each time up to a minute, and 1 s again once a probe
has run for a minute), and serves their figures in Prometheus' text format at /metrics. The config file is read
again on SIGHUP and POST /-/reload: only the targets it changed are started, stopped or restarted."""

from __future__ import annotations

import queue
import signal
import sys
import threading
import time
from dataclasses import dataclass
from typing import Callable, Optional, Protocol

from . import __version__
from .capabilities import may_start
from .client import Probe, ProbeError
from .events import parse_event
from .export_config import ConfigError, ReloadPlan, TargetConfig, attribution_once, load_config, merge, plan_reload
from .landing_page import TargetStatus, landing_page
from .metrics import PathMetrics, ReloadMetrics

FIRST_WAIT_SECONDS = 1.0
LONGEST_WAIT_SECONDS = 60.0
# A probe that ran this long ended for a reason of its own, not of its start: the wait starts again from 1 s.
STEADY_SECONDS = 60.0
# A probe is told to end within half a second and killed when its connection closes: a keeper takes far less.
KEEPER_STOP_SECONDS = 15.0
# An HTTP reload waits this long for the main loop (which checks every 0.2 s) to have done it.
RELOAD_ANSWER_SECONDS = 60.0


def parse_listen(text: str) -> tuple[str, int]:
    """ADDR:PORT (an IPv6 address in brackets) as (address, port)."""
    address, separator, port = text.rpartition(":")
    if not separator or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError(f"--listen takes ADDR:PORT, not {text!r}")
    return (address.strip("[]") or "127.0.0.1"), int(port)


class ProbeKeeper(threading.Thread):
    """Runs one target's probe, hands its events to the metrics, and starts another when it ends."""

    def __init__(self, entry: TargetConfig, probe_binary: str, netns: Optional[str], metrics: PathMetrics):
        super().__init__(name=f"probe {entry.target}", daemon=True)
        self.target, self.engines, self.probe_binary, self.netns = entry.target, entry.engines, probe_binary, netns
        self.metrics = metrics
        self.stop = threading.Event()  # its own: a reload stops some keepers and not others

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


class Keeper(Protocol):
    """What the exporter needs of a keeper (a ProbeKeeper; a stand-in in tests)."""
    stop: threading.Event

    def start(self) -> None: ...

    def join(self, timeout: Optional[float] = None) -> None: ...

    def is_alive(self) -> bool: ...


@dataclass(frozen=True)
class Reading:
    """The result of the config file's latest reading, at start or at a reload."""
    when: float  # Unix time
    problem: Optional[str] = None  # why it was refused; None when it was taken


class Exporter:
    """The targets being measured and their keepers. Only the main loop changes them (at start, at a reload and at
    the end); the HTTP threads read their state for the landing page."""

    def __init__(self, command_line_targets: list[str], default_engines: tuple[str, ...], config_path: Optional[str],
                 metrics: PathMetrics, reload_metrics: Optional[ReloadMetrics],
                 new_keeper: Callable[[TargetConfig], Keeper]):
        self.command_line_targets, self.default_engines = command_line_targets, default_engines
        self.config_path, self.metrics, self.reload_metrics = config_path, metrics, reload_metrics
        self.new_keeper = new_keeper
        self._lock = threading.Lock()
        self.running: dict[str, TargetConfig] = {}  # in the order of the command line and the file
        self.keepers: dict[str, Keeper] = {}
        self.last_reading: Optional[Reading] = None

    def wanted(self) -> list[TargetConfig]:
        """The targets as the command line and the config file name them now; ConfigError when the file cannot be
        taken."""
        from_file = load_config(self.config_path, self.default_engines) if self.config_path else []
        return attribution_once(merge(self.command_line_targets, from_file, self.default_engines))

    def apply(self, wanted: list[TargetConfig]) -> ReloadPlan:
        """Stops the keepers of targets gone or changed (their series leave the metrics), then starts those of new
        and changed targets; the others run on untouched."""
        plan = plan_reload(self.running, wanted)
        leaving = plan.stop + [entry.target for entry in plan.restart]
        self._stop_keepers(leaving)
        with self._lock:
            for target in leaving:
                del self.keepers[target]
                self.metrics.remove_target(target)
            for entry in plan.start + plan.restart:
                self.metrics.add_target(entry.target, entry.label_map)
                self.keepers[entry.target] = self.new_keeper(entry)
                self.keepers[entry.target].start()
            self.running = {entry.target: entry for entry in wanted}
        return plan

    def reload(self) -> Optional[str]:
        """Reads the config file again and applies it; the reason when it was refused (the targets stay as they
        were)."""
        if self.config_path is None:
            return "the exporter was started without --config: there is no file to read again"
        try:
            wanted = self.wanted()
        except ConfigError as problem:
            print(f"tarnvale export: reload refused, the running targets stay: {problem}", file=sys.stderr, flush=True)
            self.reload_metrics.failed()
            self.last_reading = Reading(time.time(), str(problem))
            return str(problem)
        plan = self.apply(wanted)
        print(f"tarnvale export: reloaded {self.config_path}: {len(plan.start)} started, {len(plan.stop)} stopped, "
              f"{len(plan.restart)} restarted, {len(plan.keep)} running on", file=sys.stderr, flush=True)
        self.reload_metrics.succeeded()
        self.last_reading = Reading(time.time())
        return None

    def stop_all(self) -> None:
        self._stop_keepers(list(self.keepers))

    def _stop_keepers(self, targets: list[str]) -> None:
        """Tells the keepers to stop, all at once, and waits for them: their probes end in parallel."""
        for target in targets:
            self.keepers[target].stop.set()
        for target in targets:
            self.keepers[target].join(timeout=KEEPER_STOP_SECONDS)
            if self.keepers[target].is_alive():
                print(f"tarnvale export: {target}: the probe did not end within {KEEPER_STOP_SECONDS:.0f} s",
                      file=sys.stderr, flush=True)

    def statuses(self) -> list[TargetStatus]:
        """Each target with its probe's state, as the metrics tell it."""
        with self._lock:
            running = list(self.running.values())
        up, restarts = {}, {}
        for family in self.metrics.collect():
            for sample in family.samples:
                if sample.name == "tarnvale_probe_up":
                    up[sample.labels["target"]] = sample.value == 1
                elif sample.name == "tarnvale_probe_restarts_total":
                    restarts[sample.labels["target"]] = int(sample.value)
        return [TargetStatus(entry, up.get(entry.target, False), restarts.get(entry.target, 0)) for entry in running]


class ReloadRequests:
    """Reloads asked for over HTTP, done by the main loop, which alone changes the targets."""

    def __init__(self):
        self._asked: queue.Queue[tuple[threading.Event, list]] = queue.Queue()

    def ask(self) -> Optional[str]:
        """From an HTTP thread: waits for the reload; the reason when it failed."""
        done, outcome = threading.Event(), []
        self._asked.put((done, outcome))
        if not done.wait(RELOAD_ANSWER_SECONDS):
            return f"the exporter did not get to the reload within {RELOAD_ANSWER_SECONDS:.0f} s"
        return outcome[0]

    def serve(self, reload: Callable[[], Optional[str]]) -> None:
        """From the main loop: does each reload asked for since the last time."""
        while True:
            try:
                done, outcome = self._asked.get_nowait()
            except queue.Empty:
                return
            outcome.append(reload())
            done.set()


def export(args) -> int:
    from prometheus_client.core import CollectorRegistry

    from .web_config import WebConfigError, WebConfigWatcher
    from .web_server import ExporterServer

    try:
        address, port = parse_listen(args.listen)
    except ValueError as problem:
        print(f"tarnvale: {problem}", file=sys.stderr)
        return 2
    if not args.targets and not args.config:
        print("tarnvale: export needs a TARGET or a --config file that lists them", file=sys.stderr)
        return 2
    engines = tuple(name for name in args.engines.split(",") if name)
    metrics = PathMetrics([])
    reload_metrics = ReloadMetrics() if args.config else None
    exporter = Exporter(args.targets, engines, args.config, metrics, reload_metrics,
                        lambda entry: ProbeKeeper(entry, args.probe, args.netns, metrics))
    try:
        wanted = exporter.wanted()
        web = WebConfigWatcher(args.web_config_file) if args.web_config_file else None
    except (ConfigError, WebConfigError) as problem:
        print(f"tarnvale: {problem}", file=sys.stderr)
        return 2
    if not may_start(args.probe, sorted({name for entry in wanted for name in entry.engines}) or list(engines)):
        return 1
    registry = CollectorRegistry()
    registry.register(metrics)
    if reload_metrics is not None:
        registry.register(reload_metrics)
    reloads = ReloadRequests()
    try:
        server = ExporterServer((address, port), registry, web,
                                lambda: landing_page(__version__, exporter.statuses(), args.config,
                                                     exporter.last_reading), reloads.ask)
    except OSError as failure:
        print(f"tarnvale: cannot listen on {address}:{port}: {failure.strerror}", file=sys.stderr)
        return 1
    threading.Thread(target=server.serve_forever, name="http", daemon=True).start()
    # The handlers only note the signal: run between two bytecodes of the main
    # thread, one that took a lock (Event.set in it, while Event.wait holds the
    # same lock) could wait for itself for ever. The main loop acts on them.
    terminated, hangups = [], []
    signal.signal(signal.SIGTERM, lambda *_: terminated.append(True))
    signal.signal(signal.SIGHUP, lambda *_: hangups.append(True))
    print(f"serving metrics at {server.scheme}://{args.listen}/metrics for "
          f"{', '.join(entry.target for entry in wanted) or 'no target yet'}", flush=True)
    exporter.apply(wanted)
    if args.config:
        exporter.last_reading = Reading(time.time())
    try:
        while not terminated:
            time.sleep(0.2)
            if hangups:
                hangups.clear()
                if args.config is None:
                    print("tarnvale export: SIGHUP: started without --config, there is no file to read again",
                          file=sys.stderr, flush=True)
                else:
                    exporter.reload()
            reloads.serve(exporter.reload)
    except KeyboardInterrupt:
        pass
    exporter.stop_all()
    server.shutdown()
    server.server_close()
    return 0
