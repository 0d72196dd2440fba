"""The exporter's config file: what it takes, what it refuses and why, and what a reload of it starts, stops,
restarts and leaves running."""

import threading

import pytest
from event_samples import facts, sample
from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.parser import text_string_to_metric_families

from tarnvale.events import parse_event
from tarnvale.export import Exporter
from tarnvale.export_config import (ConfigError, TargetConfig, attribution_once, load_config, merge, parse_config,
                                    plan_reload)
from tarnvale.metrics import OWN_LABELS, PathMetrics, ReloadMetrics

DEFAULT_ENGINES = ("hop", "bw", "attr")


def scrape(*collectors):
    registry = CollectorRegistry()
    for collector in collectors:
        registry.register(collector)
    text = generate_latest(registry).decode()
    return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples}


def test_a_file_gives_each_target_its_engines_or_the_exporters_and_its_labels():
    targets = parse_config("""
targets:
  - target: 203.0.113.10
    engines: [hop, bw]
    labels: {site: office, floor: "2"}
  - target: 2001:db8::10
""", DEFAULT_ENGINES)
    assert targets == [TargetConfig("203.0.113.10", ("hop", "bw"), (("floor", "2"), ("site", "office"))),
                       TargetConfig("2001:db8::10", DEFAULT_ENGINES)]
    assert parse_config("targets: []", DEFAULT_ENGINES) == []


@pytest.mark.parametrize("text, told", [
    ("targets: [", "not valid YAML"),
    ("", "must be a mapping with a `targets` list"),
    ("target: [203.0.113.10]", "unknown key 'target' at the top"),
    ("targets: 203.0.113.10", "`targets` must be a list"),
    ("targets: [203.0.113.10]", "targets[0]: each entry must be a mapping"),
    ("targets: [{target: 203.0.113.10, engine: [hop]}]", "unknown key 'engine' (known: target, engines, labels)"),
    ("targets: [{engines: [hop]}]", "`target` must be an address or host name as a string, not None"),
    ("targets: [{target: 12}]", "not 12"),
    ("targets: [{target: a, engines: [hop, ping]}]",
     "targets[0] (a): unknown engine 'ping' (known: capture, hop, bw, attr)"),
    ("targets: [{target: a, engines: hop}]", "`engines` must be a list"),
    ("targets: [{target: a, engines: []}]", "`engines` must be a list"),
    ("targets: [{target: a, engines: [hop, hop]}]", "an engine is listed twice"),
    ("targets: [{target: a, labels: {2nd: x}}]", "'2nd' is not a Prometheus label name"),
    ("targets: [{target: a, labels: {site-a: x}}]", "'site-a' is not a Prometheus label name"),
    ("targets: [{target: a, labels: {__name__: x}}]", "names beginning with __ are Prometheus' own"),
    ("targets: [{target: a, labels: {hop: x}}]", "label 'hop' is one of the exporter's own labels"),
    ("targets: [{target: a, labels: {target: x}}]", "label 'target' is one of the exporter's own labels"),
    ("targets: [{target: a, labels: {rack: 12}}]", "label 'rack' must have a string value, not 12 (quote it)"),
    ("targets: [{target: a, labels: [site]}]", "`labels` must be a mapping"),
    ("targets: [{target: a}, {target: b}, {target: a}]", "targets[2]: target 'a' is listed twice (also targets[0])"),
])
def test_a_file_that_says_anything_else_is_refused_with_what_and_where(text, told):
    with pytest.raises(ConfigError) as refused:
        parse_config(text, DEFAULT_ENGINES)
    assert told in str(refused.value)


def test_an_unreadable_file_is_refused_with_its_name(tmp_path):
    with pytest.raises(ConfigError, match=r"cannot read .*missing.yml: No such file or directory"):
        load_config(str(tmp_path / "missing.yml"), DEFAULT_ENGINES)
    (tmp_path / "bad.yml").write_text("targets: [{target: a, engines: [ping]}]")
    with pytest.raises(ConfigError, match=r"bad.yml: targets\[0\] \(a\): unknown engine"):
        load_config(str(tmp_path / "bad.yml"), DEFAULT_ENGINES)


def test_the_files_entry_wins_over_the_command_line_and_attr_runs_for_one_target_only():
    from_file = [TargetConfig("b", ("hop",), (("site", "x"),)), TargetConfig("c", ("hop", "attr"))]
    merged = merge(["a", "b", "a"], from_file, DEFAULT_ENGINES)
    assert merged == [TargetConfig("a", DEFAULT_ENGINES), from_file[0], from_file[1]]
    run = attribution_once(merged)
    assert [entry.engines for entry in run] == [DEFAULT_ENGINES, ("hop",), ("hop",)]
    # The target that counted the processes is gone: the next one that asks for attr takes it over.
    assert attribution_once(merged[1:])[1].engines == ("hop", "attr")


def test_a_reload_starts_new_targets_stops_removed_ones_restarts_changed_ones_and_keeps_the_rest():
    running = {entry.target: entry for entry in [TargetConfig("kept", ("hop",)), TargetConfig("gone", ("hop",)),
                                                 TargetConfig("relabelled", ("hop",), (("site", "a"),)),
                                                 TargetConfig("more engines", ("hop",))]}
    wanted = [TargetConfig("new", ("hop",)), TargetConfig("kept", ("hop",)),
              TargetConfig("relabelled", ("hop",), (("site", "b"),)), TargetConfig("more engines", ("hop", "bw"))]
    plan = plan_reload(running, wanted)
    assert [entry.target for entry in plan.start] == ["new"]
    assert plan.stop == ["gone"]
    assert [entry.target for entry in plan.restart] == ["relabelled", "more engines"]
    assert plan.keep == ["kept"]
    assert not plan_reload({entry.target: entry for entry in wanted}, wanted).changes


class StandInKeeper:
    """Counts starts and stops in place of a probe."""

    def __init__(self, entry):
        self.entry, self.stop, self.started = entry, threading.Event(), False

    def start(self):
        self.started = True

    def join(self, timeout=None):
        assert self.stop.is_set(), "joined without being told to stop"

    def is_alive(self):
        return not self.stop.is_set()


@pytest.fixture
def exporter(tmp_path):
    config = tmp_path / "targets.yml"
    config.write_text("targets: [{target: a, labels: {site: x}}, {target: b}]")
    metrics = PathMetrics([])
    exporter = Exporter(["cli"], ("hop",), str(config), metrics, ReloadMetrics(clock=lambda: 1000.0), StandInKeeper)
    exporter.apply(exporter.wanted())
    return exporter, config


def test_the_exporter_keeps_the_keepers_of_unchanged_targets_across_a_reload(exporter, capsys):
    exporter, config = exporter
    before = dict(exporter.keepers)
    assert all(keeper.started for keeper in before.values())
    config.write_text("targets: [{target: a, labels: {site: y}}, {target: c}]")
    assert exporter.reload() is None
    assert exporter.keepers["cli"] is before["cli"] and not before["cli"].stop.is_set(), "untouched"
    assert before["b"].stop.is_set() and "b" not in exporter.keepers
    assert before["a"].stop.is_set() and exporter.keepers["a"] is not before["a"], "its labels changed"
    assert exporter.keepers["a"].entry.label_map == {"site": "y"} and exporter.keepers["c"].started
    assert "1 started, 1 stopped, 1 restarted, 1 running on" in capsys.readouterr().err
    served = {dict(labels)["target"] for name, labels in scrape(exporter.metrics) if name == "tarnvale_probe_up"}
    assert served == {"cli", "a", "c"}, "a removed target's series leave"


def test_a_bad_file_at_a_reload_keeps_the_running_targets_and_sets_the_gauge_to_0(exporter, capsys):
    exporter, config = exporter
    before = dict(exporter.keepers)
    config.write_text("targets: [{target: a, labels: {hop: x}}]")
    problem = exporter.reload()
    assert "label 'hop' is one of the exporter's own labels" in problem
    assert "reload refused, the running targets stay" in capsys.readouterr().err
    assert exporter.keepers == before and not any(keeper.stop.is_set() for keeper in before.values())
    samples = scrape(exporter.reload_metrics)
    assert samples[("tarnvale_config_last_reload_successful", ())] == 0
    assert samples[("tarnvale_config_last_reload_success_timestamp_seconds", ())] == 1000.0
    assert exporter.last_reading.problem == problem
    config.unlink()
    assert "cannot read" in exporter.reload()
    config.write_text("targets: [{target: a, labels: {site: x}}, {target: b}]")
    assert exporter.reload() is None
    assert exporter.keepers == before, "the same file again changes nothing"
    assert scrape(exporter.reload_metrics)[("tarnvale_config_last_reload_successful", ())] == 1


def test_a_targets_labels_go_on_each_of_its_series_and_not_on_the_hosts_own():
    metrics = PathMetrics([])
    metrics.add_target("t", {"site": "office"})
    metrics.add_target("u")
    for target in ("t", "u"):
        metrics.probe_started(target, facts())
        metrics.event(target, parse_event(sample("hop_loss")))
    metrics.event("t", parse_event(sample("app_traffic")))
    metrics.event("t", parse_event(sample("degradation")))
    samples = scrape(metrics)
    of_t = [dict(labels) for name, labels in samples if dict(labels).get("target") == "t"]
    assert len(of_t) > 3 and all(labels["site"] == "office" for labels in of_t)
    assert not [labels for _, labels in samples if dict(labels).get("target") == "u" and "site" in dict(labels)]
    assert not [labels for name, labels in samples if name.startswith("tarnvale_process_") and "site" in dict(labels)]


def test_the_exporters_own_labels_are_all_refused_as_target_labels():
    """A label the collector emits but the config file allowed would give a series two values for one name."""
    metrics = PathMetrics(["t"])
    metrics.probe_started("t", facts())
    for kind in ("hop_loss", "flow_loss", "hop_delay", "bw_estimate", "flow_bw", "app_traffic", "degradation",
                 "error", "path_status"):
        metrics.event("t", parse_event(sample(kind)))
    metrics.event("t", parse_event(sample("unowned_traffic")))
    emitted = {name for _, labels in scrape(metrics) for name, _ in labels}
    assert emitted <= OWN_LABELS, emitted - OWN_LABELS
