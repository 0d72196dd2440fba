"""The attribution engine on the dual-stack test network: IPv6 flows, and IPv4 and IPv6 flows of one process,
counted to within 2 % of the bytes their senders put on the wire."""

import json
import subprocess
import textwrap
import time

import pytest

from conftest import log_records
from lab import Iperf3Flow

ETHERNET = 14
UDP = 8
IPV4 = 20
IPV6 = 40
# Logged once the capture is open and its filter set.
CAPTURE_OPEN = "attr: capture datalink type"


def counted_bytes(events, pid, direction):
    """What the probe counted for the process, from its rates over one-second cycles."""
    return sum(e[f"mbps_{direction}"] for e in events if e["pid"] == pid) * 1e6 / 8


def link_bytes(network, direction):
    """The bytes the client's link has carried so far in `direction` ("tx" or "rx"), Ethernet headers included:
    what crossed the wire, where a sender's own count would include datagrams its kernel dropped on a loaded host
    before they left."""
    return int(network.run("client", ["cat", f"/sys/class/net/eth0/statistics/{direction}_bytes"]).stdout)


def within(measured, expected, fraction):
    return abs(measured - expected) <= fraction * expected


def assert_counted(probe, log_dir, events, pid, direction, crossed, sender_said):
    """The process's bytes in `direction` are counted to within 2 % of those that crossed the link; otherwise
    says what each cycle counted and what the capture received and dropped."""
    counted = counted_bytes(events, pid, direction)
    if not within(counted, crossed, 0.02):
        cycles = [(e["ts"], round(e[f"mbps_{direction}"], 2)) for e in events if e["pid"] == pid]
        pytest.fail(f"counted {counted:.0f} of the {crossed} bytes that crossed the link (the sender said "
                    f"{sender_said}); (ts, Mbit/s {direction}) by cycle {cycles}; capture {capture_counts(probe, log_dir)}")


def app_traffic(probe, seconds):
    return [e for e in probe.collect(seconds) if e["type"] == "app_traffic"]


def app_traffic_until_ended(probe, sender, limit=30):
    """The app_traffic events until the sender has ended and the probe has counted 2.5 s more without it: a
    sender's last bytes are reported in the cycle after they went out, later still on a loaded host."""
    events = []
    deadline = time.monotonic() + limit
    while sender.poll() is None and time.monotonic() < deadline:
        events += app_traffic(probe, 0.5)
    quiet_since = time.monotonic()
    while time.monotonic() - quiet_since < 2.5 and time.monotonic() < deadline:
        cycle = app_traffic(probe, 0.5)
        if any(e["pid"] == sender.pid for e in cycle):
            quiet_since = time.monotonic()
        events += cycle
    return events


def capture_counts(probe, log_dir, timeout=10):
    """Stops the engine and returns what its capture received, dropped and counted, as its log tells."""
    probe.stop_engine("attr")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for record in log_records(log_dir, probe):
            if record["fields"]["message"] == "attr accumulator stopped":
                return {key: record["fields"][key] for key in ("received", "dropped", "counted")}
        probe.collect(0.2)
    return None


def start_counting(probe, log_dir, timeout=30):
    """Starts the engine and waits until its capture is open and filtered, so that a flow started next is counted
    from its first byte however long a loaded host takes to open it."""
    probe.start_engine("attr", "")
    deadline = time.monotonic() + timeout
    while not any(r["fields"]["message"] == CAPTURE_OPEN for r in log_records(log_dir, probe)):
        assert time.monotonic() < deadline, f"no {CAPTURE_OPEN!r} in the log after {timeout} s"
        probe.collect(0.2)


def test_an_ipv6_upload_is_counted_to_its_bytes(probe_in_network, network, log_dir):
    probe = probe_in_network()
    start_counting(probe, log_dir)
    before = link_bytes(network, "tx")
    with Iperf3Flow(network, "-u", "-b", "20M", "-t", "8", address=network.server_address_v6, port=5321) as flow:
        events = app_traffic_until_ended(probe, flow.client)
        report = flow.result(timeout=30)
        pid = flow.client.pid
    crossed = link_bytes(network, "tx") - before
    assert {e["name"] for e in events if e["pid"] == pid} == {"iperf3"}
    total = report["end"]["sum"]
    assert crossed > 0.9 * total["bytes"], (crossed, total)
    assert_counted(probe, log_dir, events, pid, "up", crossed,
                   total["bytes"] + total["packets"] * (UDP + IPV6 + ETHERNET))
    assert counted_bytes(events, pid, "down") < 0.01 * crossed


def test_an_ipv6_download_is_counted_to_its_bytes(probe_in_network, network, log_dir):
    probe = probe_in_network()
    start_counting(probe, log_dir)
    before = link_bytes(network, "rx")
    with Iperf3Flow(network, "-u", "-b", "20M", "-t", "8", "-R", address=network.server_address_v6,
                    port=5322) as flow:
        events = app_traffic_until_ended(probe, flow.client)
        report = flow.result(timeout=30)
        pid = flow.client.pid
    crossed = link_bytes(network, "rx") - before
    total = report["end"]["sum"]
    received = (total["packets"] - total["lost_packets"]) * (total["bytes"] / total["packets"] + UDP + IPV6 + ETHERNET)
    assert_counted(probe, log_dir, events, pid, "down", crossed, received)


# One process with a connected UDP socket per family, sending the same datagrams to the server over both,
# paced to about 8 Mbit/s each; it prints how many it sent on each.
MIXED_SENDER = textwrap.dedent("""
    import json, socket, sys, time
    targets = [(socket.AF_INET, sys.argv[1]), (socket.AF_INET6, sys.argv[2])]
    sockets = []
    for family, address in targets:
        s = socket.socket(family, socket.SOCK_DGRAM)
        s.connect((address, 9))
        sockets.append(s)
    payload = bytes(1000)
    sent = [0, 0]
    start = time.monotonic()
    n = 0
    while time.monotonic() - start < float(sys.argv[3]):
        for index, s in enumerate(sockets):
            s.send(payload)
            sent[index] += 1
        n += 1
        time.sleep(max(0.0, start + n * 0.001 - time.monotonic()))
    print(json.dumps({"ipv4": sent[0], "ipv6": sent[1]}))
""")

# Takes every datagram to port 9 of either family, so that no port-unreachable answer ends the sender.
SINK = textwrap.dedent("""
    import socket
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    s.bind(("::", 9))
    while True:
        s.recv(2048)
""")


def test_one_process_with_ipv4_and_ipv6_flows_is_counted_once_for_both(probe_in_network, network, log_dir):
    probe = probe_in_network()
    start_counting(probe, log_dir)
    sink = network.popen("server", ["python3", "-c", SINK])
    try:
        deadline = time.monotonic() + 5
        while not network.run("server", ["ss", "-Hlun", "sport = :9"]).stdout.strip():
            assert time.monotonic() < deadline, "the sink did not start"
            time.sleep(0.05)
        before = link_bytes(network, "tx")
        sender = network.popen("client", ["python3", "-c", MIXED_SENDER, network.server_address,
                                          network.server_address_v6, "8"],
                               stdout=subprocess.PIPE, text=True)
        events = app_traffic_until_ended(probe, sender)
        out, _ = sender.communicate(timeout=30)
    finally:
        sink.kill()
        sink.wait()
    sent = json.loads(out)
    datagram = 1000 + UDP + ETHERNET
    said = sent["ipv4"] * (datagram + IPV4) + sent["ipv6"] * (datagram + IPV6)
    assert sent["ipv4"] > 5000 and sent["ipv6"] > 5000, sent
    assert all(e["name"].startswith("python3") for e in events if e["pid"] == sender.pid)
    assert_counted(probe, log_dir, events, sender.pid, "up", link_bytes(network, "tx") - before, said)
