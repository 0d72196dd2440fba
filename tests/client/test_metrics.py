"""The exporter's metrics from events: names, labels, units and totals as Prometheus reads them."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "client"))
from prometheus_client import CollectorRegistry, generate_latest  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

from tarnvale.metrics import PathMetrics  # noqa: E402
from tarnvale.probe_facts import FULL_BANDWIDTH_SWEEP_SECONDS, HOP_REPORT_SECONDS  # noqa: E402


def scrape(metrics):
    registry = CollectorRegistry()
    registry.register(metrics)
    text = generate_latest(registry).decode()
    return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples}


def value(samples, name, **labels):
    return samples[(name, tuple(sorted(labels.items())))]


def test_hop_figures_take_base_units_and_the_latest_event():
    metrics = PathMetrics(["203.0.113.10"])
    metrics.probe_started("203.0.113.10")
    for loss in (10.0, 25.0):
        metrics.event("203.0.113.10", {"type": "hop_loss", "hop": 3, "addr": "198.51.100.6", "loss_pct": loss,
                                       "rtt_ms": 12.5, "prev_loss_pct": 0.0, "is_localized": True})
    metrics.event("203.0.113.10", {"type": "hop_delay", "hop": 3, "addr": "198.51.100.6", "baseline_ms": 10.0,
                                   "current_ms": 190.0, "added_ms": 180.0, "behind_queue": True})
    metrics.event("203.0.113.10", {"type": "bw_estimate", "hop": 3, "addr": "", "mbps": 0.5, "baseline_mbps": 2.2,
                                   "bottleneck": True, "confidence": {}})
    samples = scrape(metrics)
    hop = {"target": "203.0.113.10", "hop": "3", "addr": "198.51.100.6"}
    assert value(samples, "tarnvale_hop_loss_ratio", **hop) == 0.25
    assert value(samples, "tarnvale_hop_rtt_seconds", **hop) == 0.0125
    assert value(samples, "tarnvale_hop_queue_delay_seconds", **hop) == 0.18
    assert value(samples, "tarnvale_hop_bandwidth_bytes_per_second", target="203.0.113.10", hop="3") == 62500
    assert value(samples, "tarnvale_hop_bottleneck", target="203.0.113.10", hop="3") == 1
    assert value(samples, "tarnvale_probe_up", target="203.0.113.10") == 1


def test_process_bytes_add_up_over_cycles_and_targets_share_them():
    metrics = PathMetrics(["a", "b"])
    for _ in range(3):
        metrics.event("a", {"type": "app_traffic", "pid": 7, "name": "iperf3", "mbps_up": 8.0, "mbps_down": 0.8,
                            "loss_share": 0.0, "saturating": True})
    samples = scrape(metrics)
    assert value(samples, "tarnvale_process_upload_bytes_total", process="iperf3") == 3_000_000
    assert value(samples, "tarnvale_process_download_bytes_total", process="iperf3") == pytest.approx(300_000)
    assert not any("pid" in dict(labels) for _, labels in samples), "never a label per process id"


def test_restarts_errors_and_the_latest_diagnosis():
    metrics = PathMetrics(["t"])
    metrics.probe_started("t")
    metrics.probe_ended("t", restarting=True)
    assert value(scrape(metrics), "tarnvale_probe_up", target="t") == 0
    metrics.probe_started("t")
    metrics.probe_ended("t", restarting=False)
    for _ in range(2):
        metrics.event("t", {"type": "error", "engine": "hop", "code": "NO_TARGET", "message": "", "fatal": True})
    metrics.event("t", {"type": "degradation", "severity": "high", "cause": "isp", "affected_hop": 3})
    metrics.event("t", {"type": "latency", "severity": "medium", "cause": "saturation", "affected_hop": 2})
    samples = scrape(metrics)
    assert value(samples, "tarnvale_probe_restarts_total", target="t") == 1, "the last end started no other"
    assert value(samples, "tarnvale_engine_errors_total", target="t", engine="hop", code="NO_TARGET") == 2
    assert value(samples, "tarnvale_diagnosis_info", target="t", kind="latency", hop="2", cause="saturation",
                 severity="medium") == 1


def test_a_hop_no_report_names_any_more_leaves_the_metrics():
    now = [1000.0]
    metrics = PathMetrics(["t"], clock=lambda: now[0])

    def report(hop, addr):
        metrics.event("t", {"type": "hop_loss", "hop": hop, "addr": addr, "loss_pct": 0.0, "rtt_ms": 1.0,
                            "prev_loss_pct": 0.0, "is_localized": False})

    report(3, "198.51.100.6")
    report(4, "203.0.113.10")
    report(5, "203.0.113.10")  # a sweep that lost the probe at the target's own distance
    metrics.event("t", {"type": "hop_loss", "hop": 4, "addr": "203.0.113.10", "loss_pct": 20.0, "rtt_ms": 1.0,
                        "prev_loss_pct": 0.0, "is_localized": False})
    assert value(scrape(metrics), "tarnvale_path_loss_ratio", target="t") == 0.2, "the target's own hop"
    metrics.event("t", {"type": "bw_estimate", "hop": 4, "addr": "", "mbps": 1.0, "baseline_mbps": 1.0,
                        "bottleneck": False, "confidence": {}})
    for _ in range(6):
        now[0] += HOP_REPORT_SECONDS
        report(4, "203.0.113.10")
    hops = {dict(labels)["hop"] for name, labels in scrape(metrics) if name == "tarnvale_hop_loss_ratio"}
    assert hops == {"4"}
    assert value(scrape(metrics), "tarnvale_path_loss_ratio", target="t") == 0
    assert ("tarnvale_hop_bandwidth_bytes_per_second", (("hop", "4"), ("target", "t"))) in scrape(metrics)
    now[0] += 3 * FULL_BANDWIDTH_SWEEP_SECONDS
    assert not [name for name, _ in scrape(metrics) if name.startswith(("tarnvale_hop_", "tarnvale_path_"))]
