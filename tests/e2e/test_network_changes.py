"""A probe that runs for weeks meets a network that changes under it: the client's link goes down and comes back,
its address is renewed as another one, it moves to another interface on another subnet (a laptop going from
wireless to a cable). With the hop, bandwidth and attribution engines all running and an application uploading
from an unconnected UDP socket, every engine notices the change and measures again by itself: the target's loss
reads low again and the uploader is named again within the deadline, no hop is blamed for the outage, the probe
lives on, and each path engine says once that the route went and once that it came back where the change took the
route away (and says nothing where it never did).

Each test prints the events that tell the story (path_status, the target's hop_loss, the uploader's app_traffic,
degradation, route_change, error, unowned_traffic), one JSON line each, stamped with the seconds since the change
began, for a table of the run."""

import json
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime, timezone
from typing import Callable

import pytest
from conftest import log_records
from tarnvale import Probe
from test_attr_ipv6 import start_counting
from test_attr_socket_forms import start_sink

from lab.network import IPV4

pytestmark = [pytest.mark.slow, pytest.mark.xdist_group("network_changes")]

# The target's loss at or under which the path counts as measured again.
RECOVERED_LOSS_PCT = 10.0
# A cycle's upload at or over which the uploader counts as seen again: it sends about 2.1 Mbit/s on the wire.
NAMED_MBPS = 1.0
PATH_ENGINES = ("hop", "bw")
PATH_STATUS_MEMBERS = ["type", "ts", "engine", "status", "detail"]
# The kinds printed for the run's table.
OF_INTEREST = ("path_status", "hop_loss", "app_traffic", "unowned_traffic", "degradation", "route_change", "error")

# 2 Mbit/s of 1000-byte datagrams to port 9 from a socket never connected nor bound, as most applications send
# (the kernel gives it a port at the first send and picks its source address at every send). A send that fails
# while there is no route, no address or no interface is given up, and the next one is tried on time.
UPLOADER = textwrap.dedent("""
    import socket, sys, time
    address = sys.argv[1]
    s = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_DGRAM)
    payload = bytes(1000)
    sent = 0
    start = time.monotonic()
    while True:
        try:
            s.sendto(payload, (address, 9))
        except OSError:
            pass
        sent += 1
        time.sleep(max(0.0, start + sent / 250 - time.monotonic()))
""")


class Recording:
    """Every event of the probe with the moment it arrived, and the moments the test marks."""

    def __init__(self, probe, target: str, uploader_pid: int):
        self.probe, self.target, self.uploader_pid = probe, target, uploader_pid
        self.stamped: list[tuple[float, dict]] = []
        self.marks: dict[str, tuple[float, float]] = {}  # name: (monotonic, wall clock)

    def read(self, seconds: float, until: Callable[[], bool] = lambda: False) -> bool:
        """Reads events for `seconds` or until `until()` holds after one; says whether it came to hold."""
        deadline = time.monotonic() + seconds
        while not until():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            event = self.probe.next_event(remaining)
            if event is not None:
                self.stamped.append((time.monotonic(), event))
        return True

    def mark(self, name: str) -> None:
        self.marks[name] = (time.monotonic(), time.time())

    def since(self, mark: str) -> list[dict]:
        began = self.marks[mark][0]
        return [event for at, event in self.stamped if at >= began]

    def first_after(self, mark: str, predicate: Callable[[dict], bool], not_before: float = 0.0) -> float | None:
        """Seconds from `mark` to the first event that came `not_before` seconds or more after it and satisfies
        `predicate` (None: none came)."""
        marked = self.marks[mark][0]
        return next((at - marked for at, event in self.stamped if at >= marked + not_before and predicate(event)),
                    None)

    def is_target_loss(self, event: dict) -> bool:
        return event["type"] == "hop_loss" and event["addr"] == self.target

    def is_upload(self, event: dict) -> bool:
        return event["type"] == "app_traffic" and event["pid"] == self.uploader_pid

    def target_losses(self, mark: str) -> list[float]:
        return [e["loss_pct"] for e in self.since(mark) if self.is_target_loss(e)]

    def uploads(self, mark: str) -> list[dict]:
        return [e for e in self.since(mark) if self.is_upload(e)]

    def measured_again(self, mark: str, after: float = 0.0) -> bool:
        """The uploader is counted since `mark`, and the target's loss reads low in a report that came `after`
        seconds or more after it (one that rests on probes sent since, not only on those before)."""
        low = self.first_after(mark, lambda e: self.is_target_loss(e) and e["loss_pct"] <= RECOVERED_LOSS_PCT,
                               not_before=after)
        return low is not None and any(e["mbps_up"] >= NAMED_MBPS for e in self.uploads(mark))

    def path_statuses(self) -> dict[str, list[str]]:
        events = [e for _, e in self.stamped if e["type"] == "path_status"]
        return {engine: [e["status"] for e in events if e["engine"] == engine] for engine in PATH_ENGINES}

    def print_table(self) -> None:
        origin = self.marks["change"][0]
        rows = [(at, f"-- {name}") for name, (at, _) in self.marks.items()]
        rows += [(at, json.dumps(e)) for at, e in self.stamped if e["type"] in OF_INTEREST and self._concerns(e)]
        for at, text in sorted(rows, key=lambda row: row[0]):
            print(f"{at - origin:+7.1f} s  {text}")

    def _concerns(self, event: dict) -> bool:
        return {"hop_loss": self.is_target_loss, "app_traffic": self.is_upload}.get(event["type"],
                                                                                  lambda _: True)(event)


def watch_a_change(network, probe_in_network, log_dir, target: str, change: Callable[[Recording], None],
                   deadline: float, removes_route: bool) -> Probe:
    """Runs the three engines against `target` with the upload going, makes the change once the path is measured
    (`change` returns when the network is whole again: "the return"), and checks what the probe made of it. Each
    path engine says "restored" once when it measures again (after an outage, or from a new source address), with
    one "no_route" before it when the change removed the route."""
    probe = probe_in_network()
    start_counting(probe, log_dir)
    for engine in PATH_ENGINES:
        probe.start_engine(engine, target)
    sink = start_sink(network)
    uploader = network.popen("client", ["python3", "-c", UPLOADER, target])
    recording = Recording(probe, target, uploader.pid)
    try:
        recording.mark("start")
        assert recording.read(30, lambda: recording.measured_again("start")), \
            f"before any change: target losses {recording.target_losses('start')}, uploads {recording.uploads('start')}"
        recording.mark("change")
        change(recording)
        recording.mark("return")
        report_seconds = probe.facts.hop_report_seconds
        recording.read(deadline, lambda: recording.measured_again("return", after=report_seconds) and all(
            "restored" in recording.path_statuses().get(engine, []) for engine in PATH_ENGINES))
        # One hop report more: the loss stays low, and no engine says anything more of the route.
        recording.read(report_seconds + 1)
        alive = probe.process.poll() is None
    finally:
        uploader.kill()
        uploader.wait()
        sink.kill()
        sink.wait()
        recording.print_table()

    assert alive, f"the probe ended: {probe.stderr_text()}"
    assert not [r for r in log_records(log_dir, probe) if "abort" in json.dumps(r).lower()]
    losses = recording.target_losses("return")
    low_after = recording.first_after("return", lambda e: recording.is_target_loss(e)
                                      and e["loss_pct"] <= RECOVERED_LOSS_PCT)
    assert low_after is not None and low_after <= deadline, \
        f"the target's loss since the return, report by report: {losses}"
    first_low = next(index for index, loss in enumerate(losses) if loss <= RECOVERED_LOSS_PCT)
    assert all(loss <= RECOVERED_LOSS_PCT for loss in losses[first_low:]), f"it rose again: {losses}"
    returned_at = datetime.fromtimestamp(recording.marks["return"][1], timezone.utc)
    assert any(r["fields"]["message"] == "probe reply received" and r["fields"]["src"] == target
               and datetime.fromisoformat(r["timestamp"]) >= returned_at for r in log_records(log_dir, probe)), \
        "the low loss rests on the target's answers since the return, not only on those before the change"
    uploads = recording.uploads("return")
    named_after = recording.first_after("return", lambda e: recording.is_upload(e) and e["mbps_up"] >= NAMED_MBPS)
    unowned = [e for e in recording.since("return") if e["type"] == "unowned_traffic"]
    assert named_after is not None and named_after <= deadline, \
        f"the uploader is not counted again: its cycles {uploads}, unowned traffic {unowned}"
    assert all(e["name"].startswith("python3") for e in uploads), uploads

    events = [e for _, e in recording.stamped]
    assert not [e for e in events if e["type"] == "degradation"], "no hop is to blame for the change"
    assert not [e for e in events if e["type"] == "error" and e["fatal"]], "every engine goes on"

    path_status = [e for e in events if e["type"] == "path_status"]
    assert all(list(e) == PATH_STATUS_MEMBERS and isinstance(e["ts"], int) and isinstance(e["detail"], str)
               and e["detail"] for e in path_status), path_status
    expected = ["no_route", "restored"] if removes_route else ["restored"]
    assert recording.path_statuses() == {engine: expected for engine in PATH_ENGINES}
    changed_at = int(recording.marks["change"][1])
    assert all(e["ts"] >= changed_at for e in path_status), (changed_at, path_status)
    return probe


# The client's link is down this long.
OUTAGE_SECONDS = 15
# A renewed address comes this long after the old one went, as when a lease runs out before the next is had.
LEASE_LAPSE_SECONDS = 10


def test_the_client_link_going_down_and_back_is_measured_again_within_45_s(network, probe_in_network, log_dir):
    link = f"client:{network.client_side(IPV4).interface}"

    def flap(recording: Recording) -> None:
        network.set_link_state(link, up=False)
        try:
            recording.read(OUTAGE_SECONDS)
        finally:
            network.set_link_state(link, up=True)

    watch_a_change(network, probe_in_network, log_dir, network.server_address, flap, deadline=45,
                   removes_route=True)


@pytest.mark.parametrize("version", [4, 6])
def test_a_renewed_client_address_is_measured_again_within_90_s(network, probe_in_network, log_dir, version):
    """Between the two leases the host has no address to reach the target from: over IPv6 its route stays, with
    only the link-local address left, which is no route either."""
    old = network.client_address if version == 4 else network.client_address_v6

    def renew(recording: Recording) -> None:
        with ThreadPoolExecutor(1) as renewal:  # events are read (and stamped) while the lease lapses
            new = renewal.submit(network.renew_client_address, version, lapse=LEASE_LAPSE_SECONDS)
            recording.read(LEASE_LAPSE_SECONDS + 30, new.done)
        assert new.result() != old

    target = network.server_address if version == 4 else network.server_address_v6
    watch_a_change(network, probe_in_network, log_dir, target, renew, deadline=90, removes_route=True)


@pytest.mark.parametrize("version", [4, 6])
def test_a_new_capture_device_on_another_subnet_is_measured_again_within_90_s(network, probe_in_network, log_dir,
                                                                            version):
    """The new interface carries the default route before the old one is deleted: the route never went, but the
    probes leave from another address now."""
    old = network.client_side(IPV4).interface

    def swap(recording: Recording) -> None:
        assert network.swap_client_device() != old

    target = network.server_address if version == 4 else network.server_address_v6
    watch_a_change(network, probe_in_network, log_dir, target, swap, deadline=90, removes_route=False)


def test_the_default_route_moving_to_a_new_interface_beside_the_old_is_measured_again_within_90_s(
        network, probe_in_network, log_dir):
    """A cable plugged in beside the wireless link: the default route moves, the old interface stays up with its
    address, so the captures must leave a device that still works for the one the probes' answers now come in by."""
    old = network.client_side(IPV4).interface

    def plug_in(recording: Recording) -> None:
        assert network.swap_client_device(keep_old=True) != old

    probe = watch_a_change(network, probe_in_network, log_dir, network.server_address, plug_in, deadline=90,
                           removes_route=False)
    moved = [r for r in log_records(log_dir, probe) if r["fields"]["message"] == "capture moved to another device"]
    assert {r["target"] for r in moved} >= {"tarnvale_probe::engines::hop", "tarnvale_probe::engines::bandwidth"}, moved
