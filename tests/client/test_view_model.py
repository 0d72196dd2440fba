"""The live view's model: events in, rows and panels out, no terminal."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "client"))

from tarnvale.view_model import SPARK_LENGTH, ViewModel, sparkline  # noqa: E402


def hop_loss(hop, addr, loss, localized=False, rtt=1.0):
    return {"type": "hop_loss", "ts": 1, "hop": hop, "addr": addr, "loss_pct": loss, "rtt_ms": rtt,
            "prev_loss_pct": 0.0, "is_localized": localized}


def test_hops_beyond_the_target_collapse_into_one_row_with_bandwidth_kept():
    model = ViewModel(["hop", "bw"], started=0)
    for hop, addr in [(1, "192.168.1.1"), (2, "198.51.100.2"), (3, "203.0.113.10"), (4, "203.0.113.10"),
                      (5, "203.0.113.10")]:
        model.apply(hop_loss(hop, addr, 0.0), now=1)
    model.apply({"type": "bw_estimate", "hop": 2, "addr": "", "mbps": 0.5, "baseline_mbps": 2.2, "bottleneck": True,
                 "confidence": {"level": "medium"}}, now=1)
    rows = model.hop_rows()
    assert [(row.label, row.addr) for row in rows] == [("1", "192.168.1.1"), ("2", "198.51.100.2"),
                                                       ("3-5", "203.0.113.10")]
    assert rows[1].mbps == 0.5 and rows[1].bottleneck and rows[1].confidence == "medium"
    # A hop that has not answered yet has no address and is never merged.
    model.apply(hop_loss(6, "", 100.0), now=1)
    model.apply(hop_loss(7, "", 100.0), now=1)
    assert [row.label for row in model.hop_rows()] == ["1", "2", "3-5", "6", "7"]


def test_sparkline_values_and_scale():
    assert sparkline([0, 5, 10], ceiling=10) == "▁▅█"
    assert sparkline([0, 50], ceiling=10) == "▁█", "values above the ceiling are clamped"
    assert sparkline([], ceiling=10) == ""
    model = ViewModel(["hop"], started=0)
    for loss in range(SPARK_LENGTH + 5):
        model.apply(hop_loss(3, "198.51.100.6", float(loss)), now=1)
    row = model.hop_rows()[0]
    assert row.losses == [float(v) for v in range(5, SPARK_LENGTH + 5)], "only the newest values are kept"
    assert model.loss_ceiling() == SPARK_LENGTH + 4
    assert ViewModel(["hop"]).loss_ceiling() == 10.0


def test_busiest_processes_first_and_stale_ones_gone():
    model = ViewModel(["attr"], started=0)
    for pid, up, down, seen in [(1, 0.5, 0.1, 10.0), (2, 8.0, 0.0, 10.0), (3, 0.1, 4.0, 10.0), (4, 50.0, 0, 5.0)]:
        model.apply({"type": "app_traffic", "ts": 1, "pid": pid, "name": f"p{pid}", "mbps_up": up, "mbps_down": down,
                     "loss_share": 0.0, "saturating": up > 1}, now=seen)
    assert [row.pid for row in model.busiest_processes(now=11.0)] == [2, 3, 1]
    assert model.busiest_processes(now=11.0)[0].saturating


def test_the_latest_diagnosis_and_every_error_are_kept():
    model = ViewModel(["hop"], started=0)
    first = {"type": "degradation", "severity": "low", "cause": "isp", "affected_hop": 3}
    latest = {"type": "degradation", "severity": "high", "cause": "congestion", "affected_hop": 3}
    model.apply(first, now=1)
    model.apply(latest, now=2)
    assert model.diagnosis is latest
    model.apply({"type": "error", "engine": "bw", "code": "NO_TARGET", "message": "m", "fatal": True}, now=2)
    model.apply({"type": "ack", "cmd": "start_engine", "ok": False, "error": "refused"}, now=2)
    assert [e["code"] for e in model.errors] == ["NO_TARGET", "NOT_ACCEPTED"]


def test_waiting_messages_say_what_and_how_long_until_it_arrives():
    model = ViewModel(["hop", "bw", "attr"], started=100.0)
    waiting = model.waiting_for(now=103.0)
    assert len(waiting) == 3
    assert waiting[0].startswith("hop: first loss report about 7 s") and "(3 s so far)" in waiting[0]
    assert "full sweep about 60 s" in waiting[1]
    model.apply(hop_loss(1, "192.168.1.1", 0.0), now=108)
    model.apply({"type": "app_traffic", "ts": 1, "pid": 9, "name": "x", "mbps_up": 1.0, "mbps_down": 0.0,
                 "loss_share": 0.0, "saturating": True}, now=108)
    assert [line.split(":")[0] for line in model.waiting_for(now=108.0)] == ["bw"]


def test_queueing_delay_shows_only_behind_a_located_queue_and_the_latency_diagnosis_is_kept():
    model = ViewModel(["hop"], started=0)
    for hop, addr in [(1, "192.168.1.1"), (2, "198.51.100.2"), (3, "203.0.113.10")]:
        model.apply(hop_loss(hop, addr, 0.0), now=1)
        model.apply({"type": "hop_delay", "ts": 1, "hop": hop, "addr": addr, "baseline_ms": 1.0,
                     "current_ms": 1.0 + 90.0 * (hop >= 2), "added_ms": 90.0 * (hop >= 2) or 0.4,
                     "behind_queue": hop >= 2}, now=1)
    assert [row.queue_ms for row in model.hop_rows()] == [None, 90.0, 90.0]
    assert model.queue_standing()
    latency = {"type": "latency", "ts": 1, "severity": "medium", "cause": "congestion", "cause_detail": "d",
               "affected_hop": 2, "addr": "198.51.100.2", "baseline_ms": 1.0, "current_ms": 91.0, "added_ms": 90.0}
    model.apply(latency, now=1)
    assert model.latency == latency
    for hop in (2, 3):
        model.apply({"type": "hop_delay", "ts": 8, "hop": hop, "addr": "", "baseline_ms": 1.0, "current_ms": 1.5,
                     "added_ms": 0.5, "behind_queue": False}, now=8)
    assert [row.queue_ms for row in model.hop_rows()] == [None, None, None]
    assert not model.queue_standing() and model.latency == latency


def test_link_speed_is_a_figure_only_below_the_trains_own_rate():
    from tarnvale.view_model import link_speed_text
    assert link_speed_text(None) == "-"
    assert link_speed_text(0.48) == "0.48"
    assert link_speed_text(2.2) == "> 2.2", "the first hop of a fast path reads the trains' own rate"
    assert link_speed_text(2240.0) == "> 2.2", "a difference artefact behind it"
