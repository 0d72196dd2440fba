"""--web.config.file: the exporter toolkit's format as the exporter takes it, the basic auth check, the file read
again at each request, and the server's answers for each path."""

import base64
import http.client
import subprocess
import sys
import threading
import tomllib
from pathlib import Path

import pytest
from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.exposition import CONTENT_TYPE_LATEST

CLIENT = Path(__file__).resolve().parents[2] / "client"
sys.path.insert(0, str(CLIENT))
import tarnvale  # noqa: E402
from tarnvale.metrics import PathMetrics  # noqa: E402
from tarnvale.web_config import (TLS_VERSIONS, WebConfig, WebConfigError, WebConfigWatcher, authorized,  # noqa: E402
                                 parse_web_config)
from tarnvale.web_server import ExporterServer  # noqa: E402

# Fixed hashes (bcrypt, cost 4) of "s3cret" and "other": a hash made at collection would differ between the
# test workers, which must collect the same test ids.
SECRET_HASH = "$2b$04$YTlHcMztKZ1p8tU/GFhgVOZcPUblzyKB/GXVLs.tLRRrwJaVNg8si"
OTHER_HASH = "$2b$04$FPJJKxCiyWHu8pKaXbU42u2Ar.Y0Sxl3fJQJFx0bR3uh00syigmPG"


def basic(name, password):
    return "Basic " + base64.b64encode(f"{name}:{password}".encode()).decode()


def test_tls_and_users_are_taken_with_file_names_beside_the_config():
    config = parse_web_config(f"""
tls_server_config:
  cert_file: server.crt
  key_file: /etc/keys/server.key
  min_version: TLS13
basic_auth_users:
  prometheus: {SECRET_HASH}
""", "/etc/tarnvale")
    assert (config.tls.cert_file, config.tls.key_file) == ("/etc/tarnvale/server.crt", "/etc/keys/server.key")
    assert config.tls.min_version == TLS_VERSIONS["TLS13"]
    assert config.users == {"prometheus": SECRET_HASH.encode()}
    assert parse_web_config("tls_server_config: {cert_file: c, key_file: k}").tls.min_version == TLS_VERSIONS["TLS12"]
    assert parse_web_config("") == WebConfig(), "an empty file: plain HTTP, no auth"


@pytest.mark.parametrize("text, told", [
    ("tls_server_config: [", "not valid YAML"),
    ("tls_config: {cert_file: c, key_file: k}", "unknown key 'tls_config' at the top"),
    ("rate_limit: {interval: 1s}", "'rate_limit' at the top: not offered by tarnvale export"),
    ("tls_server_config: {cert_file: c}", "tls_server_config needs key_file"),
    ("tls_server_config: {cert_file: c, key_file: k, min_version: TLS11}", "min_version 'TLS11' is not offered"),
    ("tls_server_config: {cert_file: c, key_file: k, client_ca_file: ca}", "'client_ca_file' in tls_server_config: "
                                                                         "not offered"),
    ("basic_auth_users: {prometheus: s3cret}", "the password of 'prometheus' is not a bcrypt hash"),
    ("basic_auth_users: [prometheus]", "`basic_auth_users` must map user names to bcrypt hashes"),
    (f"basic_auth_users: {{'a:b': '{SECRET_HASH}'}}", "'a:b' is not a user name"),
])
def test_anything_else_is_refused_with_what_is_wrong(text, told):
    with pytest.raises(WebConfigError) as refused:
        parse_web_config(text)
    assert told in str(refused.value)


def test_only_a_configured_user_with_the_right_password_passes():
    config = WebConfig(users={"prometheus": SECRET_HASH.encode(), "grafana": OTHER_HASH.encode()})
    assert authorized(config, basic("prometheus", "s3cret"))
    assert authorized(config, basic("grafana", "other"))
    assert authorized(config, "basic " + base64.b64encode(b"prometheus:s3cret").decode()), "the scheme is not cased"
    for refused in (None, "", basic("prometheus", "other"), basic("nobody", "s3cret"), basic("prometheus", ""),
                    "Bearer s3cret", "Basic not-base64!", "Basic " + base64.b64encode(b"prometheus").decode()):
        assert not authorized(config, refused), refused
    assert authorized(WebConfig(), None), "no users: no auth"


def test_a_changed_file_takes_effect_at_the_next_request_and_a_broken_one_keeps_the_last_good(tmp_path):
    path = tmp_path / "web.yml"
    path.write_text(f"basic_auth_users: {{prometheus: '{SECRET_HASH}'}}")
    told = []
    watcher = WebConfigWatcher(str(path), log=told.append)
    assert authorized(watcher.current(), basic("prometheus", "s3cret"))
    path.write_text(f"basic_auth_users: {{prometheus: '{OTHER_HASH}'}}")
    assert authorized(watcher.current(), basic("prometheus", "other")), "a new password at once"
    path.write_text("basic_auth_users: {prometheus: plain}")
    for _ in range(3):
        assert authorized(watcher.current(), basic("prometheus", "other")), "the last good one stays"
    assert len(told) == 1 and "is not a bcrypt hash" in told[0], "told once per change"
    path.unlink()
    watcher.current()
    assert len(told) == 2 and "cannot read" in told[1]
    path.write_text("tls_server_config: {cert_file: c, key_file: k}")
    assert watcher.current().tls is None and "TLS cannot be turned on while the exporter runs" in told[2]


def test_a_file_that_cannot_be_taken_at_start_is_an_error(tmp_path):
    with pytest.raises(WebConfigError, match="cannot read"):
        WebConfigWatcher(str(tmp_path / "missing.yml"))
    (tmp_path / "web.yml").write_text("tls_server_config: {cert_file: missing.crt, key_file: missing.key}")
    with pytest.raises(WebConfigError, match="cannot load the certificate .*missing.crt"):
        WebConfigWatcher(str(tmp_path / "web.yml"))


@pytest.fixture
def server(tmp_path):
    """The server on a free local port with auth for one user, the registry of one target's metrics and a reload
    that fails the second time."""
    (tmp_path / "web.yml").write_text(f"basic_auth_users: {{prometheus: '{SECRET_HASH}'}}")
    registry = CollectorRegistry()
    registry.register(PathMetrics(["203.0.113.10"]))
    outcomes = iter([None, "targets[0]: unknown engine 'ping'"])
    served = ExporterServer(("127.0.0.1", 0), registry, WebConfigWatcher(str(tmp_path / "web.yml")),
                            lambda: "<html>landing</html>", lambda: next(outcomes))
    threading.Thread(target=served.serve_forever, daemon=True).start()
    yield served
    served.shutdown()
    served.server_close()


def request(server, method, path, password="s3cret"):
    connection = http.client.HTTPConnection(*server.server_address, timeout=10)
    connection.request(method, path, headers={"Authorization": basic("prometheus", password)} if password else {})
    answer = connection.getresponse()
    return answer.status, dict(answer.getheaders()), answer.read().decode()


def test_the_server_answers_each_path_as_operators_expect(server):
    status, headers, body = request(server, "GET", "/metrics")
    assert status == 200 and headers["Content-Type"] == CONTENT_TYPE_LATEST
    assert body == generate_latest(server.registry).decode(), "the same text as prometheus_client's own server"
    status, headers, body = request(server, "GET", "/")
    assert (status, headers["Content-Type"], body) == (200, "text/html; charset=utf-8", "<html>landing</html>")
    assert request(server, "POST", "/-/reload")[:1] == (200,)
    status, _, body = request(server, "POST", "/-/reload")
    assert status == 500 and "unknown engine 'ping'" in body
    status, headers, _ = request(server, "GET", "/-/reload")
    assert (status, headers["Allow"]) == (405, "POST")
    assert request(server, "GET", "/favicon.ico")[0] == 404
    assert request(server, "POST", "/metrics")[0] == 405
    for password in ("wrong", None):
        status, headers, _ = request(server, "GET", "/metrics", password)
        assert (status, headers["WWW-Authenticate"]) == (401, "Basic")


def test_the_version_the_client_tells_is_the_packages():
    project = tomllib.loads((CLIENT / "pyproject.toml").read_text())
    assert tarnvale.__version__ == project["project"]["version"]


@pytest.mark.parametrize("arguments, told", [
    (["--config", "/nonexistent/targets.yml"], "tarnvale: cannot read /nonexistent/targets.yml: No such file"),
    (["203.0.113.10", "--web.config.file", "/nonexistent/web.yml"], "tarnvale: cannot read /nonexistent/web.yml"),
    ([], "export needs a TARGET or a --config file"),
])
def test_the_exporter_refuses_to_start_on_a_file_it_cannot_take(arguments, told):
    """Refused before any probe starts or port is taken."""
    refused = subprocess.run([sys.executable, "-m", "tarnvale", "export", *arguments, "--listen", "127.0.0.1:1"],
                             cwd=CLIENT, capture_output=True, text=True, timeout=60)
    assert refused.returncode == 2 and told in refused.stderr and "Traceback" not in refused.stderr, refused.stderr
