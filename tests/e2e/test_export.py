"""`tarnvale export`: the metrics Prometheus scrapes from probes kept running in the test network."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

CLIENT = Path(__file__).resolve().parents[2] / "client"
sys.path.insert(0, str(CLIENT))
from lab import Iperf3Flow  # noqa: E402
from lab.network import IPV4  # noqa: E402
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
def start_exporter(network, probe_binary):
    """Starts the exporter for the targets with the engines, its probes in the network's client (or another
    node); returns its process and port. Every exporter started is stopped with SIGTERM at the end, and must end
    cleanly."""
    started = []

    def start(targets, engines, node="client"):
        port = free_port()
        process = subprocess.Popen([sys.executable, "-m", "tarnvale", "export", *targets, "--listen",
                                    f"127.0.0.1:{port}", "--engines", engines, "--probe", str(probe_binary),
                                    "--netns", network.namespace(node)],
                                   cwd=CLIENT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        started.append(process)
        assert "serving metrics" in process.stdout.readline()
        return process, port

    yield start
    for process in started:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0, process.stderr.read()


@pytest.fixture
def exporter(start_exporter, network):
    """The exporter of both of the server's addresses, with the hop engine."""
    return start_exporter([network.server_address, network.server_address_v6], "hop")


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
        last_hop = (("hop", str(len(addresses))), ("target", target))
        assert samples[("tarnvale_hop_probes_sent_total", last_hop)] >= 2, "a probe a sweep for two cycles"
        assert samples[("tarnvale_hop_probes_lost_total", last_hop)] == 0
        assert samples[("tarnvale_hop_round_trip_seconds_count", last_hop)] >= 1
        assert samples[("tarnvale_hop_round_trip_seconds_bucket", (*last_hop[:1], ("le", "0.025"), last_hop[1]))] \
            == samples[("tarnvale_hop_round_trip_seconds_count", last_hop)], "round trips of a few ms at most"
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


PROMETHEUS_CONFIG = """
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: tarnvale
    static_configs:
      - targets: ["127.0.0.1:{port}"]
"""


def prometheus_query(port, query):
    """The instant vector of a PromQL query, as {labels: value}."""
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": query})
    answer = json.loads(urllib.request.urlopen(url, timeout=5).read())
    assert answer["status"] == "success", answer
    return {tuple(sorted(item["metric"].items())): float(item["value"][1]) for item in answer["data"]["result"]}


@pytest.fixture
def prometheus(tmp_path):
    """Debian's Prometheus server, started here and stopped at the end; returns a function that points it at
    an exporter's port (with a configuration of its own, formatted with the port and `fields`, if given) and waits
    until it is ready, and then gives the server's port."""
    if shutil.which("prometheus") is None:
        pytest.fail("the prometheus package is missing: scripts/install-deps.sh installs it")
    servers = []

    def start(exporter_port, configuration=PROMETHEUS_CONFIG, **fields):
        port = free_port()
        config = tmp_path / "prometheus.yml"
        config.write_text(configuration.format(port=exporter_port, **fields))
        server = subprocess.Popen(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'data'}",
                                   f"--web.listen-address=127.0.0.1:{port}"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        servers.append(server)
        deadline = time.monotonic() + 30
        while True:
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{port}/-/ready", timeout=1)
                return port
            except OSError:
                assert server.poll() is None, server.stderr.read()
                assert time.monotonic() < deadline, "Prometheus did not become ready"
                time.sleep(0.2)

    yield start
    for server in servers:
        server.terminate()
        server.wait(timeout=30)


def test_prometheus_scrapes_the_hops_and_the_uploading_process(start_exporter, prometheus, network):
    process, port = start_exporter([network.server_address], "hop,attr")
    server = prometheus(port)
    time.sleep(2)  # the capture opens
    with Iperf3Flow(network, "-u", "-b", "10M", "-t", "6", port=5341) as flow:
        report = flow.result(timeout=30)
    time.sleep(12)  # the last traffic cycle and two hop reports are served and scraped
    exported = scrape(port)
    sent = report["end"]["sum"]
    wire = sent["bytes"] + sent["packets"] * (8 + 20 + 14)
    uploaded = prometheus_query(server, 'tarnvale_process_upload_bytes_total{process="iperf3"}')
    assert len(uploaded) == 1, uploaded
    assert abs(next(iter(uploaded.values())) - wire) <= 0.02 * wire
    assert next(iter(uploaded.values())) == exported[("tarnvale_process_upload_bytes_total",
                                                      (("process", "iperf3"),))]
    losses = prometheus_query(server, "tarnvale_hop_loss_ratio")
    by_hop = {dict(labels)["hop"]: (dict(labels)["addr"], value) for labels, value in losses.items()}
    assert by_hop == {str(hop): (address, 0.0) for hop, address in enumerate(network.hop_addresses(), start=1)}


def readme_prometheus_files() -> tuple[str, str]:
    """The README's scrape configuration and alert rules, one YAML block with a comment line before each."""
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    block = readme[readme.index("# prometheus.yml"):]
    scrape, alerts = block[:block.index("```")].split("# tarnvale-alerts.yml")
    return scrape, alerts


def test_the_readmes_scrape_configuration_and_alert_rule_hold(tmp_path):
    scrape, alerts = readme_prometheus_files()
    (tmp_path / "prometheus.yml").write_text(scrape)
    (tmp_path / "tarnvale-alerts.yml").write_text(alerts)
    checked = subprocess.run(["promtool", "check", "config", str(tmp_path / "prometheus.yml")], capture_output=True,
                             text=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    # Loss of 8 % at the end of one path for 15 minutes, 2 % on another: only the first alerts, after 10 minutes.
    (tmp_path / "alert-test.yml").write_text("""
rule_files: [tarnvale-alerts.yml]
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'tarnvale_path_loss_ratio{target="192.0.2.10"}'
        values: '0.08x15'
      - series: 'tarnvale_path_loss_ratio{target="192.0.2.20"}'
        values: '0.02x15'
    alert_rule_test:
      - eval_time: 9m
        alertname: PathLossHigh
        exp_alerts: []
      - eval_time: 12m
        alertname: PathLossHigh
        exp_alerts:
          - exp_labels: {target: "192.0.2.10"}
            exp_annotations: {summary: "8% of the probes to 192.0.2.10 are lost"}
""")
    tested = subprocess.run(["promtool", "test", "rules", "alert-test.yml"], cwd=tmp_path, capture_output=True,
                            text=True)
    assert tested.returncode == 0, tested.stdout + tested.stderr


def wait_for_samples(port, accept, seconds):
    """Scrapes until `accept` takes the samples, for at most `seconds`; the last samples either way."""
    deadline = time.monotonic() + seconds
    samples = scrape(port)
    while not accept(samples) and time.monotonic() < deadline:
        time.sleep(0.5)
        samples = scrape(port)
    return samples


def test_the_probe_measures_on_across_a_flap_of_the_hosts_link(start_exporter, network):
    """The host's link drops for 15 s: the exporter's probe is not restarted, the gauge says that it cannot measure
    while the route is gone, and fresh figures are served after the return."""
    target = network.server_address
    process, port = start_exporter([target], "hop")
    wait_for_samples(port, lambda s: any(name == "tarnvale_hop_loss_ratio" for name, _ in s), 20)
    no_route = ("tarnvale_path_no_route", (("engine", "hop"), ("target", target)))
    link = f"client:{network.client_side(IPV4).interface}"
    network.set_link_state(link, up=False)
    try:
        during = wait_for_samples(port, lambda s: s.get(no_route) == 1, 10)
        time.sleep(15)
    finally:
        network.set_link_state(link, up=True)
    assert during.get(no_route) == 1, "the outage is served as such"
    after = wait_for_samples(port, lambda s: s.get(no_route) == 0, 20)
    assert after.get(no_route) == 0
    # Figures not reported for four report periods (28 s) leave the metrics: those served now were reported after
    # the return.
    time.sleep(20)
    samples = scrape(port)
    losses = {dict(labels)["hop"]: value for (name, labels), value in samples.items()
              if name == "tarnvale_hop_loss_ratio"}
    assert losses and all(value == 0 for value in losses.values()), losses
    assert samples[("tarnvale_probe_restarts_total", (("target", target),))] == 0, "measured on, not restarted"
    assert samples[("tarnvale_probe_up", (("target", target),))] == 1
