"""The exporter's metrics from events: names, labels, units and totals as Prometheus reads them."""

import pytest
from event_samples import facts, sample
from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.parser import text_string_to_metric_families

from tarnvale.events import parse_event
from tarnvale.metrics import PathMetrics


def scrape(metrics):
    registry = CollectorRegistry()
    registry.register(metrics)
    text = generate_latest(registry).decode()
    return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples}


def value(samples, name, **labels):
    return samples[(name, tuple(sorted(labels.items())))]


def event(kind, **changes):
    return parse_event(sample(kind, **changes))


def test_hop_figures_take_base_units_and_the_latest_event():
    metrics = PathMetrics(["203.0.113.10"])
    metrics.probe_started("203.0.113.10", facts())
    for loss in (10.0, 25.0):
        metrics.event("203.0.113.10", event("hop_loss", hop=3, addr="198.51.100.6", loss_pct=loss, rtt_ms=12.5))
    metrics.event("203.0.113.10", event("hop_delay", hop=3, addr="198.51.100.6", added_ms=180.0))
    metrics.event("203.0.113.10", event("bw_estimate", hop=3, mbps=0.5, bottleneck=True))
    samples = scrape(metrics)
    hop = {"target": "203.0.113.10", "hop": "3", "addr": "198.51.100.6"}
    assert value(samples, "tarnvale_hop_loss_ratio", **hop) == 0.25
    assert value(samples, "tarnvale_hop_rtt_seconds", **hop) == 0.0125
    assert value(samples, "tarnvale_hop_queue_delay_seconds", **hop) == 0.18
    assert value(samples, "tarnvale_hop_bandwidth_bytes_per_second", target="203.0.113.10", hop="3") == 62500
    assert value(samples, "tarnvale_hop_bottleneck", target="203.0.113.10", hop="3") == 1
    assert value(samples, "tarnvale_probe_up", target="203.0.113.10") == 1


def test_process_bytes_add_up_over_the_probes_cycles_and_targets_share_them():
    metrics = PathMetrics(["a", "b"])
    metrics.probe_started("a", facts())
    metrics.probe_started("b", facts(attr_cycle_ms=2000))
    for _ in range(3):
        metrics.event("a", event("app_traffic", pid=7, name="iperf3", mbps_up=8.0, mbps_down=0.8))
    metrics.event("b", event("app_traffic", pid=7, name="iperf3", mbps_up=8.0, mbps_down=0.0))
    samples = scrape(metrics)
    assert value(samples, "tarnvale_process_upload_bytes_total", process="iperf3") == 3_000_000 + 2_000_000
    assert value(samples, "tarnvale_process_download_bytes_total", process="iperf3") == pytest.approx(300_000)
    assert not any("pid" in dict(labels) for _, labels in samples), "never a label per process id"

    metrics.event("a", event("unowned_traffic", owner="unknown", mbps_up=4.0, mbps_down=0.0))
    samples = scrape(metrics)
    assert value(samples, "tarnvale_unowned_upload_bytes_total", owner="unknown") == 500_000
    assert value(samples, "tarnvale_process_upload_bytes_total", process="iperf3") == 5_000_000, "kept apart"


def test_restarts_errors_and_the_latest_diagnosis():
    metrics = PathMetrics(["t"])
    metrics.probe_started("t", facts())
    metrics.probe_ended("t", restarting=True)
    assert value(scrape(metrics), "tarnvale_probe_up", target="t") == 0
    metrics.probe_started("t", facts())
    metrics.probe_ended("t", restarting=False)
    for _ in range(2):
        metrics.event("t", event("error", engine="hop", code="NO_TARGET"))
    metrics.event("t", event("degradation", severity="high", cause="isp", affected_hop=3))
    metrics.event("t", event("latency", severity="medium", cause="saturation", affected_hop=2))
    samples = scrape(metrics)
    assert value(samples, "tarnvale_probe_restarts_total", target="t") == 1, "the last end started no other"
    assert value(samples, "tarnvale_engine_errors_total", target="t", engine="hop", code="NO_TARGET") == 2
    assert value(samples, "tarnvale_diagnosis_info", target="t", kind="latency", hop="2", cause="saturation",
                 severity="medium") == 1


def test_probes_and_losses_add_up_across_probes_and_round_trips_fill_the_histogram():
    metrics = PathMetrics(["t"])
    metrics.probe_started("t", facts())
    metrics.event("t", event("hop_counts", hop=3, probes=2, lost=1, rtt_ms=[0.4, 12.0]))
    metrics.probe_ended("t", restarting=True)
    metrics.probe_started("t", facts())  # a new probe counts from nothing; the exporter's counters go on
    metrics.event("t", event("hop_counts", hop=3, probes=3, lost=0, rtt_ms=[2500.0]))
    samples = scrape(metrics)
    assert value(samples, "tarnvale_hop_probes_sent_total", target="t", hop="3") == 5
    assert value(samples, "tarnvale_hop_probes_lost_total", target="t", hop="3") == 1
    histogram = "tarnvale_hop_round_trip_seconds"
    assert value(samples, f"{histogram}_bucket", target="t", hop="3", le="0.0005") == 1
    assert value(samples, f"{histogram}_bucket", target="t", hop="3", le="0.025") == 2
    assert value(samples, f"{histogram}_bucket", target="t", hop="3", le="2.0") == 2, "2.5 s is beyond the buckets"
    assert value(samples, f"{histogram}_bucket", target="t", hop="3", le="+Inf") == 3
    assert value(samples, f"{histogram}_count", target="t", hop="3") == 3
    assert value(samples, f"{histogram}_sum", target="t", hop="3") == pytest.approx(2.5124)
    assert not any("addr" in dict(labels) for name, labels in samples if name.startswith("tarnvale_hop_probes")), \
        "no label that changes from one scrape to the next"


def test_a_target_is_reachable_while_its_own_address_ends_the_path_and_answers():
    def reachable(target, path, no_route=False):
        metrics = PathMetrics([target])
        metrics.probe_started(target, facts())
        for hop, (addr, loss) in enumerate(path, start=1):
            metrics.event(target, event("hop_loss", hop=hop, addr=addr, loss_pct=loss))
        if no_route:
            metrics.event(target, event("path_status", engine="hop", status="no_route"))
        return scrape(metrics).get(("tarnvale_target_reachable", (("target", target),)))

    assert reachable("203.0.113.10", [("198.51.100.6", 0.0), ("203.0.113.10", 20.0)]) == 1
    assert reachable("203.0.113.10", [("198.51.100.6", 0.0), ("203.0.113.10", 100.0)]) == 0
    assert reachable("203.0.113.10", [("198.51.100.6", 0.0)]) == 0, "the path ends before the target"
    assert reachable("203.0.113.10", [("203.0.113.10", 0.0)], no_route=True) == 0
    assert reachable("2001:db8:113::10", [("2001:db8:113:0::10", 0.0)]) == 1, "the address, however written"
    assert reachable("server.example", [("203.0.113.10", 0.0)]) is None, "a name the exporter does not resolve"


def test_an_engine_without_a_route_is_flagged_until_restored_or_a_new_probe():
    metrics = PathMetrics(["t"])
    metrics.probe_started("t", facts())
    metrics.event("t", event("path_status", engine="hop", status="no_route"))
    metrics.event("t", event("path_status", engine="bw", status="no_route"))
    metrics.event("t", event("path_status", engine="bw", status="restored"))
    samples = scrape(metrics)
    assert value(samples, "tarnvale_path_no_route", target="t", engine="hop") == 1
    assert value(samples, "tarnvale_path_no_route", target="t", engine="bw") == 0
    metrics.probe_ended("t", restarting=True)
    metrics.probe_started("t", facts())
    assert not [name for name, _ in scrape(metrics) if name == "tarnvale_path_no_route"], "the old probe's word"


def test_a_hop_no_report_names_for_some_of_its_engines_periods_leaves_the_metrics():
    now = [1000.0]
    told = facts()
    metrics = PathMetrics(["t"], clock=lambda: now[0])
    metrics.probe_started("t", told)

    def report(hop, addr, loss=0.0):
        metrics.event("t", event("hop_loss", hop=hop, addr=addr, loss_pct=loss))

    report(3, "198.51.100.6")
    report(4, "203.0.113.10")
    report(5, "203.0.113.10")  # a sweep that lost the probe at the target's own distance
    report(4, "203.0.113.10", loss=20.0)
    assert value(scrape(metrics), "tarnvale_path_loss_ratio", target="t") == 0.2, "the target's own hop"
    metrics.event("t", event("bw_estimate", hop=4, mbps=1.0, bottleneck=False))
    for _ in range(6):
        now[0] += told.hop_report_seconds
        report(4, "203.0.113.10")
    hops = {dict(labels)["hop"] for name, labels in scrape(metrics) if name == "tarnvale_hop_loss_ratio"}
    assert hops == {"4"}
    assert value(scrape(metrics), "tarnvale_path_loss_ratio", target="t") == 0
    assert ("tarnvale_hop_bandwidth_bytes_per_second", (("hop", "4"), ("target", "t"))) in scrape(metrics)
    now[0] += 3 * told.bw_sweep_seconds
    assert not [name for name, _ in scrape(metrics) if name.startswith(("tarnvale_hop_", "tarnvale_path_"))]


def test_each_flow_is_served_by_flow_and_hop_and_a_path_it_left_goes_with_its_hops_reports():
    now = [1000.0]
    told = facts()
    metrics = PathMetrics(["t"], clock=lambda: now[0])
    metrics.probe_started("t", told)
    metrics.event("t", event("flow_loss", flow=1, hop=2, addr="198.51.100.246", loss_pct=20.0))
    metrics.event("t", event("flow_loss", flow=0, hop=2, addr="198.51.100.2", loss_pct=0.0))
    samples = scrape(metrics)
    assert value(samples, "tarnvale_flow_loss_ratio", target="t", flow="1", hop="2", addr="198.51.100.246") == 0.2
    assert value(samples, "tarnvale_flow_loss_ratio", target="t", flow="0", hop="2", addr="198.51.100.2") == 0
    for _ in range(6):
        now[0] += told.hop_report_seconds
        metrics.event("t", event("flow_loss", flow=0, hop=2, addr="198.51.100.2", loss_pct=5.0))
    flows = {(dict(labels)["flow"], dict(labels)["hop"]) for name, labels in scrape(metrics)
             if name == "tarnvale_flow_loss_ratio"}
    assert flows == {("0", "2")}


def test_each_flows_bandwidth_is_served_by_flow_and_hop_and_kept_between_its_measurements():
    now = [1000.0]
    told = facts()
    metrics = PathMetrics(["t"], clock=lambda: now[0])
    metrics.probe_started("t", told)
    metrics.event("t", event("flow_bw", flow=3, hop=2, addr="198.51.100.246", mbps=1.0, bottleneck=True))
    metrics.event("t", event("flow_bw", flow=0, hop=2, addr="198.51.100.2", mbps=80.0, bottleneck=False))
    samples = scrape(metrics)
    beside = {"target": "t", "flow": "3", "hop": "2", "addr": "198.51.100.246"}
    assert value(samples, "tarnvale_flow_bandwidth_bytes_per_second", **beside) == 125000
    assert value(samples, "tarnvale_flow_bottleneck", **beside) == 1
    assert value(samples, "tarnvale_flow_bottleneck", target="t", flow="0", hop="2", addr="198.51.100.2") == 0
    # Flow 0 comes every sweep; flow 3 only every seventh, which must not drop it in between.
    for _ in range(7):
        now[0] += told.bw_sweep_seconds
        metrics.event("t", event("flow_bw", flow=0, hop=2, addr="198.51.100.2", mbps=80.0, bottleneck=False))
    served = {dict(labels)["flow"] for name, labels in scrape(metrics) if name == "tarnvale_flow_bottleneck"}
    assert served == {"0", "3"}
    for _ in range(9):
        now[0] += told.bw_sweep_seconds
        metrics.event("t", event("flow_bw", flow=0, hop=2, addr="198.51.100.2", mbps=80.0, bottleneck=False))
    served = {dict(labels)["flow"] for name, labels in scrape(metrics) if name == "tarnvale_flow_bottleneck"}
    assert served == {"0"}, "two of flow 3's measurements missed: its path is no longer known"
