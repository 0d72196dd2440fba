"""`tarnvale export`: the metrics Prometheus scrapes from probes kept running in the test network."""

import os
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

CLIENT = Path(__file__).resolve().parents[2] / "client"
sys.path.insert(0, str(CLIENT))
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402


def free_port():
    with socket.socket() as probe_port:
        probe_port.bind(("127.0.0.1", 0))
        return probe_port.getsockname()[1]


def scrape(port):
    """Every sample of /metrics by (name, labels)."""
    text = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read().decode()
    return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples}


@pytest.fixture
def exporter(network, probe_binary):
    """The exporter for both of the server's addresses, with its port; stopped with SIGTERM at the end."""
    port = free_port()
    process = subprocess.Popen([sys.executable, "-m", "tarnvale", "export", network.server_address,
                                network.server_address_v6, "--listen", f"127.0.0.1:{port}", "--engines", "hop",
                                "--probe", str(probe_binary), "--netns", network.namespace("client")],
                               cwd=CLIENT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert "serving metrics" in process.stdout.readline()
    yield process, port
    process.send_signal(signal.SIGTERM)
    assert process.wait(timeout=30) == 0, process.stderr.read()


def probes_of(exporter_pid):
    """The probe processes the exporter started (ip netns exec execs the probe itself)."""
    children = subprocess.run(["pgrep", "-P", str(exporter_pid)], capture_output=True, text=True).stdout.split()
    return [int(pid) for pid in children]


def test_every_hop_of_both_targets_is_served_with_its_address(exporter, network):
    process, port = exporter
    time.sleep(16)  # two report cycles
    samples = scrape(port)
    for target, addresses in ((network.server_address, network.hop_addresses()),
                              (network.server_address_v6, network.hop_addresses_v6())):
        served = {dict(labels)["hop"]: dict(labels)["addr"] for (name, labels) in samples
                  if name == "tarnvale_hop_loss_ratio" and dict(labels)["target"] == target}
        assert served == {str(hop): address for hop, address in enumerate(addresses, start=1)}, served
        assert samples[("tarnvale_probe_up", (("target", target),))] == 1
        assert samples[("tarnvale_probe_restarts_total", (("target", target),))] == 0
    losses = [value for (name, _), value in samples.items() if name == "tarnvale_hop_loss_ratio"]
    assert losses and all(value == 0 for value in losses), "a quiet path"
    round_trips = [value for (name, _), value in samples.items() if name == "tarnvale_hop_rtt_seconds"]
    assert all(0 < value < 0.02 for value in round_trips), round_trips


def test_a_probe_that_dies_is_counted_and_replaced(exporter, network):
    process, port = exporter
    time.sleep(2)
    probes = probes_of(process.pid)
    assert len(probes) == 2, probes
    os.kill(probes[0], signal.SIGKILL)
    deadline = time.monotonic() + 20
    restarted = {}
    while time.monotonic() < deadline:
        samples = scrape(port)
        restarted = {dict(labels)["target"]: value for (name, labels), value in samples.items()
                     if name == "tarnvale_probe_restarts_total"}
        up = [value for (name, _), value in samples.items() if name == "tarnvale_probe_up"]
        if sum(restarted.values()) == 1 and up == [1, 1]:
            break
        time.sleep(0.5)
    assert sum(restarted.values()) == 1, restarted
    assert up == [1, 1]
    assert len(probes_of(process.pid)) == 2
