"""The Prometheus rules and the Grafana dashboard shipped beside the exporter: promtool checks and unit-tests the
rules, every name they and the dashboard use is one the exporter serves or a rule records, and a real Prometheus
that scrapes a real exporter in the test network evaluates every rule and every panel's query to data."""

import json
import math
import re
import shutil
import subprocess
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest
import yaml

from lab import Iperf3Flow
from lab.network import IPV4
from test_export import prometheus, prometheus_query, start_exporter, wait_for_samples  # noqa: F401 (fixtures)

ROOT = Path(__file__).resolve().parents[2]
PACKAGING = ROOT / "packaging"
RULES = PACKAGING / "tarnvale-rules.yml"
RULE_TESTS = PACKAGING / "tarnvale-rules.test.yml"
DASHBOARD = PACKAGING / "tarnvale-dashboard.json"


def promtool(*args, cwd=None):
    if shutil.which("promtool") is None:
        pytest.fail("promtool is missing: the prometheus package installs it")
    return subprocess.run(["promtool", *args], cwd=cwd, capture_output=True, text=True)


def rules():
    return [rule for group in yaml.safe_load(RULES.read_text())["groups"] for rule in group["rules"]]


def dashboard():
    return json.loads(DASHBOARD.read_text())


def panel_queries():
    return [(panel["title"], target["expr"]) for panel in dashboard()["panels"] for target in panel["targets"]]


def query_variables():
    return [variable for variable in dashboard()["templating"]["list"] if variable["type"] == "query"]


def label_values(variable):
    """The selector and the label of a `label_values(selector, label)` variable."""
    return re.fullmatch(r"label_values\((.*), (\w+)\)", variable["query"]["query"]).groups()


PROMQL_WORDS = {"and", "or", "unless", "bool", "offset", "by", "without", "on", "ignoring", "group_left",
                "group_right", "inf", "nan"}


def metric_names(expression):
    """The metric names an expression selects: what is left once strings, label matchers, ranges, grouping
    clauses, numbers, functions and operators are taken out."""
    text = re.sub(r'"(?:[^"\\]|\\.)*"', '""', expression)
    text = re.sub(r"\{[^}]*\}|\[[^\]]*\]", " ", text)
    text = re.sub(r"\b(?:by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)", " ", text)
    text = re.sub(r"(?<![\w:])\d+(?:\.\d*)?(?:[eE][+-]?\d+)?", " ", text)
    return {match[1] for match in re.finditer(r"([A-Za-z_:][\w:]*)\s*(\()?", text)
            if not match[2] and match[1].lower() not in PROMQL_WORDS}


def served_names():
    """The names the README's metrics table lists, a histogram's as its buckets, sum and count."""
    readme = (ROOT / "README.md").read_text()
    names = set()
    for row in re.findall(r"^\| (`tarnvale_.*?) \| (\w+) \|", readme, re.MULTILINE):
        cell, kind = row
        listed = []
        for name in re.findall(r"`([\w.]+)", cell):
            if name.startswith("..."):  # `..._download_bytes_total` after `tarnvale_process_upload_bytes_total`
                suffix = name.lstrip("._").split("_")
                name = "_".join(listed[-1].split("_")[:-len(suffix)] + suffix)
            listed.append(name)
        suffixes = ("_bucket", "_sum", "_count") if kind == "histogram" else ("",)
        names |= {name + suffix for name in listed for suffix in suffixes}
    return names


def test_the_name_parser_finds_the_selected_metrics_only():
    expression = ('sum by (le, hop) (rate(a_bucket{instance=~"$instance", x="b_c"}[$__rate_interval])) / on (target) '
                  'group_left () b:c:ratio > 0.05 and bool 1e3 * label_replace(d, "t", "$1", "addr", "(.+)")')
    assert metric_names(expression) == {"a_bucket", "b:c:ratio", "d"}


def test_the_readmes_table_gives_every_series_the_exporter_serves():
    names = served_names()
    assert {"tarnvale_process_download_bytes_total", "tarnvale_unowned_download_bytes_total",
            "tarnvale_hop_round_trip_seconds_bucket", "tarnvale_diagnosis_info",
            "tarnvale_config_last_reload_successful"} <= names
    assert "tarnvale_hop_round_trip_seconds" not in names, "a histogram is served as its buckets, sum and count"


def test_promtool_checks_the_rules():
    checked = promtool("check", "rules", str(RULES))
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_the_rules_unit_tests_pass():
    tested = promtool("test", "rules", RULE_TESTS.name, cwd=PACKAGING)
    assert tested.returncode == 0, tested.stdout + tested.stderr


@pytest.mark.parametrize("original, changed", [
    ("target:tarnvale_path_probe_loss:ratio_rate5m > 0.05", "target:tarnvale_path_probe_loss:ratio_rate5m > 0.15"),
    ("tarnvale_hop_queue_delay_seconds > 0.05\n        for: 10m", "tarnvale_hop_queue_delay_seconds > 0.05"),
    ("tarnvale_target_reachable == 0", "tarnvale_target_reachable < 1 or tarnvale_target_reachable > 0"),
    ('count by (instance, job, target, hop) (label_replace(tarnvale_hop_loss_ratio, "target", "$1", "addr", "(.+)"))',
     "count by (instance, job, target, hop) (tarnvale_hop_loss_ratio)"),
    ("increase(tarnvale_probe_restarts_total[15m]) > 2", "increase(tarnvale_probe_restarts_total[30m]) > 2"),
])
def test_the_rules_unit_tests_catch_a_changed_rule(tmp_path, original, changed):
    text = RULES.read_text()
    assert original in text
    (tmp_path / RULES.name).write_text(text.replace(original, changed))
    shutil.copy(RULE_TESTS, tmp_path)
    assert promtool("check", "rules", str(tmp_path / RULES.name)).returncode == 0
    tested = promtool("test", "rules", RULE_TESTS.name, cwd=tmp_path)
    assert tested.returncode != 0, "the unit tests let a changed rule pass"


def test_every_rule_is_unit_tested():
    tests = yaml.safe_load(RULE_TESTS.read_text())["tests"]
    fired = {check["alertname"] for test in tests for check in test.get("alert_rule_test", []) if check["exp_alerts"]}
    quiet = {check["alertname"] for test in tests for check in test.get("alert_rule_test", [])
             if not check["exp_alerts"]}
    evaluated = {metric_names(check["expr"]).pop() for test in tests for check in test.get("promql_expr_test", [])}
    alerts = {rule["alert"] for rule in rules() if "alert" in rule}
    assert len(alerts) == 6
    assert fired == quiet == alerts
    assert evaluated == {rule["record"] for rule in rules() if "record" in rule}
    for rule in rules():
        if "alert" in rule:
            assert "$labels.target" in rule["annotations"]["summary"] or "target" not in metric_names(rule["expr"]), \
                rule


def test_every_panel_queries_the_chosen_prometheus():
    board = dashboard()
    assert 36 <= board["schemaVersion"] < 40
    variables = {variable["name"]: variable for variable in board["templating"]["list"]}
    assert (variables["datasource"]["type"], variables["datasource"]["query"]) == ("datasource", "prometheus")
    for name in ("instance", "target"):
        assert variables[name]["type"] == "query"
        assert variables[name]["datasource"] == {"type": "prometheus", "uid": "${datasource}"}
        assert variables[name]["query"]["query"].startswith("label_values(")
    titles = {panel["title"] for panel in board["panels"]}
    assert len(titles) == len(board["panels"]) >= 7
    for panel in board["panels"]:
        assert panel["datasource"] == {"type": "prometheus", "uid": "${datasource}"}, panel["title"]
        assert panel["targets"] and all(target["expr"].strip() for target in panel["targets"]), panel["title"]
        assert all(target["datasource"] == panel["datasource"] for target in panel["targets"])
    assert [panel["type"] for panel in board["panels"] if "bucket" in panel["targets"][0]["expr"]] == ["heatmap"]


def test_every_name_used_is_served_or_recorded():
    known = served_names() | {rule["record"] for rule in rules() if "record" in rule}
    expressions = [("rule " + rule.get("record", rule.get("alert")), rule["expr"]) for rule in rules()]
    expressions += [("panel " + title, expr) for title, expr in panel_queries()]
    expressions += [("variable " + variable["name"], label_values(variable)[0]) for variable in query_variables()]
    used = set()
    for where, expression in expressions:
        names = metric_names(expression)
        assert names, where
        assert names <= known, (where, names - known)
        used |= names
    assert {"tarnvale_process_upload_bytes_total", "tarnvale_hop_bandwidth_bytes_per_second",
            "tarnvale_hop_queue_delay_seconds", "tarnvale_path_no_route"} <= used


PROMETHEUS_WITH_RULES = """
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: ["{rules}"]
scrape_configs:
  - job_name: tarnvale
    static_configs:
      - targets: ["127.0.0.1:{port}"]
"""


def api(port, path, **params):
    url = f"http://127.0.0.1:{port}/api/v1/{path}?" + urllib.parse.urlencode(params, doseq=True)
    answer = json.loads(urllib.request.urlopen(url, timeout=5).read())
    assert answer["status"] == "success", answer
    return answer["data"]


def test_prometheus_evaluates_every_rule_and_panel_against_a_real_exporter(start_exporter, prometheus,
                                                                          network):
    target = network.server_address
    _, port = start_exporter([target], "hop,bw,attr")
    server = prometheus(port, PROMETHEUS_WITH_RULES, rules=RULES)
    instance = f"127.0.0.1:{port}"
    # The link goes down only once the attribution capture is open (it counts the probe's own packets): a capture
    # that cannot open when its engine starts ends that engine, and under load the start has taken seconds.
    probe_upload = ("tarnvale_process_upload_bytes_total", (("process", "tarnvale_probe"),))
    assert wait_for_samples(port, lambda s: s.get(probe_upload, 0) > 0, 30).get(probe_upload, 0) > 0
    # The no-route gauge is served once the host's link has gone and come back.
    no_route = ("tarnvale_path_no_route", (("engine", "hop"), ("target", target)))
    link = f"client:{network.client_side(IPV4).interface}"
    network.set_link_state(link, up=False)
    try:
        assert wait_for_samples(port, lambda s: s.get(no_route) == 1, 15).get(no_route) == 1
    finally:
        network.set_link_state(link, up=True)
    assert wait_for_samples(port, lambda s: s.get(no_route) == 0, 20).get(no_route) == 0
    # The upload lasts until the exporter serves it: after the link's return the attribution capture may still be
    # waiting to open again, up to 30 s after its last try (a loaded run missed a 5 s upload whole).
    uploaded = ("tarnvale_process_upload_bytes_total", (("process", "iperf3"),))
    with Iperf3Flow(network, "-u", "-b", "5M", "-t", "70", port=5341):
        assert wait_for_samples(port, lambda s: s.get(uploaded, 0) > 0, 70).get(uploaded, 0) > 0
    time.sleep(12)  # a report cycle more: every hop's counters have moved since the link's return
    expressions = [("rule " + rule["record"], rule["expr"]) for rule in rules() if "record" in rule]
    expressions += [("panel " + title, expr.replace("$instance", instance).replace("$target", target)
                     .replace("$__rate_interval", "30s")) for title, expr in panel_queries()]

    def without_data():
        answers = [(where, expression, prometheus_query(server, expression)) for where, expression in expressions]
        return [answer for answer in answers if not any(math.isfinite(value) for value in answer[2].values())]

    # Some figures take a while, the longer on a loaded machine: a hop's queueing delay once the probe knows its
    # usual round trip (about 90 s of measuring), a hop's bandwidth once a sweep's trains have come back since the
    # link's return.
    deadline = time.monotonic() + 240
    while (missing := without_data()) and time.monotonic() < deadline:
        time.sleep(2)
    assert not missing, missing

    for variable in query_variables():
        selector, label = label_values(variable)
        values = api(server, f"label/{label}/values", **{"match[]": selector.replace("$instance", instance)})
        assert {"instance": instance, "target": target}[variable["name"]] in values, (variable["name"], values)
    path_loss = prometheus_query(server, f'target:tarnvale_path_probe_loss:ratio_rate5m{{target="{target}"}}')
    assert len(path_loss) == 1, "the target's own hop, and only it, ends the path"
    hops = prometheus_query(server, f'target_hop:tarnvale_hop_probe_loss:ratio_rate5m{{target="{target}"}}')
    # Every hop up to the target's; a probe sent beyond it may be answered by the target too, and counted.
    assert {dict(labels)["hop"] for labels in hops} >= {str(hop) for hop in range(1, len(network.hop_addresses()) + 1)}

    groups = api(server, "rules")["groups"]
    evaluated = [rule for group in groups for rule in group["rules"]]
    assert len(evaluated) == len(rules())
    assert all(rule["health"] == "ok" for rule in evaluated), [(rule["name"], rule.get("lastError"))
                                                                for rule in evaluated if rule["health"] != "ok"]
    firing = [rule["name"] for rule in evaluated if rule["type"] == "alerting" and rule["state"] == "firing"]
    assert firing == [], "a quiet path raises no alert"
