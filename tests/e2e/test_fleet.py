"""`tarnvale fleet` against a real Prometheus that scrapes the exporters of two hosts whose paths meet at r2: the
router where both hosts' loss begins is named, and none when each host's loss lies on a link of its own."""

import json
import subprocess
import sys
import time

import pytest

from conftest import network_fixture
from lab.network import IPV4
from test_export import CLIENT, prometheus, prometheus_query, start_exporter  # noqa: F401 (fixtures)

TWO_EXPORTERS = """
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: tarnvale
    static_configs:
      - targets: ["127.0.0.1:{port}", "127.0.0.1:{second_port}"]
"""
# A hop gets a counted probe every 5 s once the probe's flows have all been answered there: at this loss every hop
# behind the lossy link loses one of its next few with near certainty (all of 5 pass at 0.1 %).
LOSS_PERCENT = 75


network = network_fixture("network", "The client and client2, whose router r1b joins r2; the exporter fixture "
                                     "starts its probes here.", second_client=True)


@pytest.fixture
def lossy_links(network):
    """Sets loss on links for one test; takes it away at the end."""
    links = []

    def set_loss(*names):
        for name in names:
            network.set_loss(name, LOSS_PERCENT)
            links.append(name)

    yield set_loss
    for name in links:
        network.set_loss(name, 0)


@pytest.fixture
def both_hosts(start_exporter, prometheus, network):
    """An exporter of the server's address in each client, and a Prometheus scraping both, once it has every hop
    of both paths with its router's address (a hop behind a lossy link could take many sweeps to be named): its
    URL, and each host's instance with the addresses its path answers from."""
    started = time.monotonic()
    _, port = start_exporter([network.server_address], "hop")
    _, second_port = start_exporter([network.server_address], "hop", node="client2")
    server = prometheus(port, TWO_EXPORTERS, second_port=second_port)
    paths = {f"127.0.0.1:{port}": network.hop_addresses(IPV4),
             f"127.0.0.1:{second_port}": network.client2_hop_addresses(IPV4)}
    named = {}
    deadline = time.monotonic() + 30
    while named != {instance: len(addresses) for instance, addresses in paths.items()}:
        assert time.monotonic() < deadline, named
        time.sleep(1)
        named = {dict(labels)["instance"]: count for labels, count
                 in prometheus_query(server, "count by (instance) (tarnvale_hop_loss_ratio)").items()}
    # A probe flow's probes count at a hop once the flow has been answered there; the eight flows have all been
    # swept some 70 s after the start. Behind a lossy link a flow not yet answered would hardly ever count, and
    # a hop would have only flow 0's few probes in the fleet check's minute.
    time.sleep(max(0.0, started + 75 - time.monotonic()))
    return f"http://127.0.0.1:{server}", paths


def fleet(prometheus_url, *options):
    return subprocess.run([sys.executable, "-m", "tarnvale", "fleet", "--prometheus", prometheus_url, "--window", "1m",
                           *options], cwd=CLIENT, capture_output=True, text=True, timeout=60)


def fleet_until(prometheus_url, expected_onsets, seconds=60):
    """The fleet check's JSON findings, asked every few seconds until the paths' loss begins where expected or
    `seconds` pass (the counters gather lost probes as the test runs); the last findings either way."""
    deadline = time.monotonic() + seconds
    while True:
        answer = fleet(prometheus_url, "--json")
        assert answer.returncode == 0, answer.stderr
        found = json.loads(answer.stdout)
        if onsets(found) == expected_onsets or time.monotonic() > deadline:
            return found
        time.sleep(3)


def onsets(found):
    """(host, router address, hop) of every path whose loss begins somewhere, shared or apart."""
    paths = [path for shared in found["shared"] for path in shared["paths"]] + found["apart"]
    return {(path["host"], path["addr"], path["hop"]) for path in paths}


def test_the_router_where_both_hosts_loss_begins_is_named(lossy_links, both_hosts, network):
    prometheus_url, paths = both_hosts
    lossy_links("r2:eth1")  # r3, hop 3 of both paths, gets part of what r2 sends it
    r3 = network.hop_addresses(IPV4)[2]
    assert r3 == network.client2_hop_addresses(IPV4)[2]
    found = fleet_until(prometheus_url, {(host, r3, 3) for host in paths})
    assert [(shared["addr"], shared["hosts"]) for shared in found["shared"]] == [(r3, sorted(paths))], found
    assert found["apart"] == found["without_loss"] == []
    text = fleet(prometheus_url)
    assert text.returncode == 0 and text.stdout.startswith(f"loss of 2 hosts begins at {r3} "), text.stdout


def test_no_router_is_named_where_each_hosts_loss_begins_on_a_link_of_its_own(lossy_links, both_hosts):
    prometheus_url, paths = both_hosts
    lossy_links("r1:eth1", "r1b:eth1")  # each into r2: both paths lose from hop 2 on, at r2's two sides
    own_links = {(host, addresses[1], 2) for host, addresses in paths.items()}
    found = fleet_until(prometheus_url, own_links)
    assert found["shared"] == [] and onsets(found) == own_links, found
    text = fleet(prometheus_url)
    assert text.returncode == 0 and text.stdout.startswith("no router is where the loss of 2 or more hosts"), \
        text.stdout

    refused = fleet(prometheus_url, "--window", "10x")
    assert refused.returncode == 2 and refused.stdout == "", refused
    assert refused.stderr.startswith("tarnvale fleet: Prometheus refused") and "bad_data" in refused.stderr, \
        refused.stderr
    an_exporter = fleet(f"http://{next(iter(paths))}")
    assert an_exporter.returncode == 2 and an_exporter.stdout == "", an_exporter
    assert "did not answer as Prometheus' HTTP API does (HTTP 404)" in an_exporter.stderr, an_exporter.stderr
