"""`tarnvale export` as operators run exporters: targets from a config file read again on SIGHUP and POST /-/reload,
TLS and basic auth from a web config, with curl and Prometheus as the clients, in the test network."""

import json
import shutil
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

import bcrypt
import pytest
from test_export import free_port, probes_of, scrape, wait_for_samples

CLIENT = Path(__file__).resolve().parents[2] / "client"


@pytest.fixture
def start_exporter(network, probe_binary, tmp_path):
    """Starts the exporter with the hop engine and these options; returns its process, port and the file its
    standard error goes to. Every exporter started is stopped with SIGTERM at the end, and must end cleanly."""
    started = []

    def start(*options):
        port = free_port()
        errors = tmp_path / f"exporter-{port}.err"
        process = subprocess.Popen([sys.executable, "-m", "tarnvale", "export", *options, "--listen",
                                    f"127.0.0.1:{port}", "--engines", "hop", "--probe", str(probe_binary),
                                    "--netns", network.namespace("client")],
                                   cwd=CLIENT, stdout=subprocess.PIPE, stderr=errors.open("w"), text=True)
        started.append((process, errors))
        assert "serving metrics" in process.stdout.readline(), errors.read_text()
        return process, port, errors

    yield start
    for process, errors in started:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0, errors.read_text()


def post_reload(port):
    """The status and text of POST /-/reload."""
    try:
        with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/-/reload", method="POST"),
                                    timeout=30) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as refused:
        return refused.code, refused.read().decode()


def up_by_target(samples):
    """tarnvale_probe_up by target, with the labels beside the target."""
    return {dict(labels)["target"]: (value, {name: text for name, text in labels if name != "target"})
            for (name, labels), value in samples.items() if name == "tarnvale_probe_up"}


def all_up(targets):
    return lambda samples: {target: value for target, (value, _) in up_by_target(samples).items()} == \
        {target: 1 for target in targets}


def test_the_config_file_is_read_again_on_sighup_and_post_and_a_bad_one_keeps_the_targets(start_exporter, network,
                                                                                           tmp_path):
    kept, removed, added = network.server_address, network.hop_addresses()[0], network.server_address_v6
    config = tmp_path / "targets.yml"
    config.write_text(f"targets:\n  - target: {kept}\n    labels: {{site: lab}}\n  - target: {removed}\n")
    process, port, errors = start_exporter("--config", str(config))
    samples = wait_for_samples(port, all_up([kept, removed]), 20)
    assert up_by_target(samples) == {kept: (1, {"site": "lab"}), removed: (1, {})}
    first_probes = set(probes_of(process.pid))
    assert len(first_probes) == 2

    # SIGHUP: one target gone, one new, one unchanged whose probe runs on.
    config.write_text(f"targets:\n  - target: {kept}\n    labels: {{site: lab}}\n  - target: {added}\n")
    process.send_signal(signal.SIGHUP)
    samples = wait_for_samples(port, all_up([kept, added]), 20)
    assert up_by_target(samples) == {kept: (1, {"site": "lab"}), added: (1, {})}, "the removed target's series left"
    second_probes = set(probes_of(process.pid))
    assert len(second_probes) == 2 and len(first_probes & second_probes) == 1, "the unchanged target's probe ran on"
    assert samples[("tarnvale_probe_restarts_total", (("site", "lab"), ("target", kept)))] == 0
    assert samples[("tarnvale_config_last_reload_successful", ())] == 1
    taken = samples[("tarnvale_config_last_reload_success_timestamp_seconds", ())]

    # POST /-/reload: a changed label restarts that target's probe, with the new label on its series.
    config.write_text(f"targets:\n  - target: {kept}\n    labels: {{site: office}}\n  - target: {added}\n")
    assert post_reload(port) == (200, "config reloaded\n")
    samples = wait_for_samples(port, lambda s: up_by_target(s).get(kept) == (1, {"site": "office"}), 20)
    assert up_by_target(samples)[kept] == (1, {"site": "office"})
    assert any(name == "tarnvale_hop_loss_ratio" and ("site", "office") in labels
               for name, labels in wait_for_samples(port, lambda s: any(
                   name == "tarnvale_hop_loss_ratio" and ("site", "office") in labels for name, labels in s), 20))
    third_probes = set(probes_of(process.pid))
    assert len(third_probes & second_probes) == 1, "only the changed target's probe was restarted"
    assert samples[("tarnvale_config_last_reload_success_timestamp_seconds", ())] > taken

    # A bad file, by either way: refused with the reason, every probe runs on, the gauge says 0.
    config.write_text(f"targets:\n  - target: {kept}\n    engines: [hop, ping]\n")
    status, text = post_reload(port)
    assert status == 500 and "unknown engine 'ping'" in text, text
    process.send_signal(signal.SIGHUP)
    deadline = time.monotonic() + 10
    while errors.read_text().count("reload refused") < 2 and time.monotonic() < deadline:
        time.sleep(0.2)
    assert errors.read_text().count("reload refused, the running targets stay") == 2, errors.read_text()
    samples = scrape(port)
    assert samples[("tarnvale_config_last_reload_successful", ())] == 0
    assert set(up_by_target(samples)) == {kept, added}
    assert set(probes_of(process.pid)) == third_probes

    page = urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=5).read().decode()
    assert f"<td>{kept}</td><td>up</td><td>0</td><td>hop</td><td>site=office</td>" in page
    assert "Last reload: <strong>failed</strong>" in page and "unknown engine" in page and str(config) in page


@pytest.fixture
def web_config(tmp_path):
    """A self-signed certificate for 127.0.0.1 made with openssl, and a web config with it and one user; returns
    the config's path, the certificate's and the password."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=tarnvale",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(tmp_path / "server.key"),
                    "-out", str(tmp_path / "server.crt")], check=True, capture_output=True)
    path = tmp_path / "web.yml"
    write_web_config(path, "first password")
    return path, tmp_path / "server.crt", "first password"


def write_web_config(path, password):
    hashed = bcrypt.hashpw(password.encode(), bcrypt.gensalt(rounds=6)).decode()
    path.write_text(f"tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                    f"basic_auth_users:\n  prometheus: {hashed}\n")


def curl(*arguments):
    """curl's exit status and the HTTP status it got (000 without one)."""
    done = subprocess.run(["curl", "--silent", "--output", "/dev/null", "--write-out", "%{http_code}",
                           "--max-time", "10", *arguments], capture_output=True, text=True)
    return done.returncode, done.stdout


def test_tls_and_basic_auth_with_curl(start_exporter, network, web_config):
    path, certificate, password = web_config
    process, port, errors = start_exporter(network.server_address, "--web.config.file", str(path))
    url = f"https://127.0.0.1:{port}/metrics"
    assert curl("--cacert", str(certificate), "--user", f"prometheus:{password}", url) == (0, "200")
    assert curl("--cacert", str(certificate), "--user", "prometheus:wrong", url) == (0, "401")
    assert curl("--cacert", str(certificate), url) == (0, "401")
    refused, status = curl(f"http://127.0.0.1:{port}/metrics")
    assert refused != 0 and status == "000", "plain HTTP gets no answer"
    assert curl("--user", f"prometheus:{password}", url)[0] == 60, "a certificate no CA vouches for is refused"
    # A new password takes effect at the next request.
    write_web_config(path, "second password")
    assert curl("--cacert", str(certificate), "--user", f"prometheus:{password}", url) == (0, "401")
    assert curl("--cacert", str(certificate), "--user", "prometheus:second password", url) == (0, "200")


PROMETHEUS_CONFIG = """
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: tarnvale
    scheme: https
    tls_config:
      ca_file: {certificate}
    basic_auth:
      username: prometheus
      password: "{password}"
    static_configs:
      - targets: ["127.0.0.1:{port}"]
"""


def test_prometheus_scrapes_over_tls_with_basic_auth(start_exporter, network, web_config, tmp_path):
    if shutil.which("prometheus") is None:
        pytest.fail("the prometheus package is missing: scripts/install-deps.sh installs it")
    path, certificate, password = web_config
    targets = tmp_path / "targets.yml"
    targets.write_text(f"targets:\n  - target: {network.server_address}\n    labels: {{site: lab}}\n")
    _, port, _ = start_exporter("--config", str(targets), "--web.config.file", str(path))
    (tmp_path / "prometheus.yml").write_text(PROMETHEUS_CONFIG.format(certificate=certificate, password=password,
                                                                      port=port))
    server_port = free_port()
    server = subprocess.Popen(["prometheus", f"--config.file={tmp_path / 'prometheus.yml'}",
                               f"--storage.tsdb.path={tmp_path / 'data'}",
                               f"--web.listen-address=127.0.0.1:{server_port}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        query = "tarnvale_probe_up{site=\"lab\"} == 1"
        url = f"http://127.0.0.1:{server_port}/api/v1/query?" + urllib.parse.urlencode({"query": query})
        deadline = time.monotonic() + 40
        result = []
        while not result and time.monotonic() < deadline:
            time.sleep(1)
            try:
                result = json.loads(urllib.request.urlopen(url, timeout=5).read())["data"]["result"]
            except OSError:
                assert server.poll() is None, server.stderr.read()
        assert [item["metric"]["target"] for item in result] == [network.server_address], result
        health = json.loads(urllib.request.urlopen(f"http://127.0.0.1:{server_port}/api/v1/targets",
                                                   timeout=5).read())["data"]["activeTargets"]
        assert [(target["scrapeUrl"], target["health"]) for target in health] == \
            [(f"https://127.0.0.1:{port}/metrics", "up")]
    finally:
        server.terminate()
        server.wait(timeout=30)
