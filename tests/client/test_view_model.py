"""The live view's model: events in, rows and panels out; and the view drawn from it."""

from event_samples import facts, sample
from rich.console import Console

from tarnvale.events import parse_event
from tarnvale.live_view import render
from tarnvale.view_model import SPARK_LENGTH, ViewModel, link_speed_text, sparkline


def hop_loss(hop, addr, loss, localized=False, rtt=1.0):
    return parse_event(sample("hop_loss", hop=hop, addr=addr, loss_pct=loss, rtt_ms=rtt, is_localized=localized))


def app_traffic(pid, up, down, name=None):
    return parse_event(sample("app_traffic", pid=pid, name=name or f"p{pid}", mbps_up=up, mbps_down=down,
                              saturating=up > 1))


def hop_delay(hop, addr, added_ms, behind_queue):
    return parse_event(sample("hop_delay", hop=hop, addr=addr, baseline_ms=1.0, current_ms=1.0 + added_ms,
                              added_ms=added_ms, behind_queue=behind_queue))


def test_hops_beyond_the_target_collapse_into_one_row_with_bandwidth_kept():
    model = ViewModel(["hop", "bw"], facts(), started=0)
    for hop, addr in [(1, "192.168.1.1"), (2, "198.51.100.2"), (3, "203.0.113.10"), (4, "203.0.113.10"),
                      (5, "203.0.113.10")]:
        model.apply(hop_loss(hop, addr, 0.0), now=1)
    model.apply(parse_event(sample("bw_estimate", hop=2, mbps=0.5, bottleneck=True)), now=1)
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
    model = ViewModel(["hop"], facts(), started=0)
    for loss in range(SPARK_LENGTH + 5):
        model.apply(hop_loss(3, "198.51.100.6", float(loss)), now=1)
    row = model.hop_rows()[0]
    assert row.losses == [float(v) for v in range(5, SPARK_LENGTH + 5)], "only the newest values are kept"
    assert model.loss_ceiling() == SPARK_LENGTH + 4
    assert ViewModel(["hop"], facts()).loss_ceiling() == 10.0


def test_busiest_processes_first_and_stale_ones_gone():
    model = ViewModel(["attr"], facts(), started=0)
    for pid, up, down, seen in [(1, 0.5, 0.1, 10.0), (2, 8.0, 0.0, 10.0), (3, 0.1, 4.0, 10.0), (4, 50.0, 0, 5.0)]:
        model.apply(app_traffic(pid, up, down), now=seen)
    assert [row.pid for row in model.busiest_processes(now=11.0)] == [2, 3, 1]
    assert model.busiest_processes(now=11.0)[0].saturating


def test_the_latest_diagnosis_and_every_error_are_kept():
    model = ViewModel(["hop"], facts(), started=0)
    model.apply(parse_event(sample("degradation", severity="low")), now=1)
    latest = parse_event(sample("degradation", severity="high", cause="congestion"))
    model.apply(latest, now=2)
    assert model.diagnosis is latest
    model.apply(parse_event(sample("error", code="NO_TARGET")), now=2)
    model.apply(parse_event(sample("ack", ok=False, error="refused")), now=2)
    model.apply(parse_event({"type": "ack", "cmd": "stop_engine", "ok": True}), now=2)
    model.apply(parse_event({"type": "path_change", "hops": []}), now=2)
    assert [(e.engine, e.code, e.message) for e in model.errors] == [("bw", "NO_TARGET", "no target"),
                                                                     ("start_engine", "NOT_ACCEPTED", "refused")]


def test_waiting_messages_say_what_and_how_long_the_probe_says_it_takes():
    model = ViewModel(["hop", "bw", "attr"], facts(hop_report_ms=9000, bw_sweep_ms=60000), started=100.0)
    waiting = model.waiting_for(now=103.0)
    assert len(waiting) == 3
    assert waiting[0].startswith("hop: first loss report about 9 s") and "(3 s so far)" in waiting[0]
    assert "first estimate about 1.65 s" in waiting[1] and "full sweep about 60 s" in waiting[1]
    assert waiting[2].startswith("attr: processes appear about 1 s")
    model.apply(hop_loss(1, "192.168.1.1", 0.0), now=108)
    model.apply(app_traffic(9, 1.0, 0.0), now=108)
    assert [line.split(":")[0] for line in model.waiting_for(now=108.0)] == ["bw"]


def test_queueing_delay_shows_only_behind_a_located_queue_and_the_latency_diagnosis_is_kept():
    model = ViewModel(["hop"], facts(), started=0)
    for hop, addr in [(1, "192.168.1.1"), (2, "198.51.100.2"), (3, "203.0.113.10")]:
        model.apply(hop_loss(hop, addr, 0.0), now=1)
        model.apply(hop_delay(hop, addr, 90.0 if hop >= 2 else 0.4, hop >= 2), now=1)
    assert [row.queue_ms for row in model.hop_rows()] == [None, 90.0, 90.0]
    assert model.queue_standing()
    latency = parse_event(sample("latency", affected_hop=2, addr="198.51.100.2"))
    model.apply(latency, now=1)
    assert model.latency == latency
    for hop in (2, 3):
        model.apply(hop_delay(hop, "", 0.5, False), now=8)
    assert [row.queue_ms for row in model.hop_rows()] == [None, None, None]
    assert not model.queue_standing() and model.latency == latency


def test_link_speed_is_a_figure_only_below_the_trains_own_rate():
    assert link_speed_text(None, 2.24) == "-"
    assert link_speed_text(0.48, 2.24) == "0.48"
    assert link_speed_text(2.2, 2.24) == "> 2.2", "the first hop of a fast path reads the trains' own rate"
    assert link_speed_text(2240.0, 2.24) == "> 2.2", "a difference artefact behind it"
    assert link_speed_text(2.2, 10.0) == "2.20", "below the rate the probe tells"


def test_the_live_view_draws_every_panel_from_the_records():
    model = ViewModel(["hop", "bw", "attr"], facts(), started=0)
    model.apply(hop_loss(3, "198.51.100.6", 20.0, localized=True), now=1)
    model.apply(parse_event(sample("bw_estimate", hop=3, mbps=5.0, bottleneck=False)), now=1)
    model.apply(hop_delay(3, "198.51.100.6", 166.6, True), now=1)
    model.apply(app_traffic(31212, 29.5, 0.65, name="iperf3"))  # now: the panel shows recent processes
    model.apply(parse_event(sample("degradation", eta_drop_sec=None, affected_hop=None)), now=1)
    model.apply(parse_event(sample("latency")), now=1)
    model.apply(parse_event(sample("error")), now=1)
    console = Console(record=True, width=120)
    console.print(render(model, "203.0.113.10"))
    screen = console.export_text()
    assert "path to 203.0.113.10" in screen and "+167 ms" in screen and "> 2.2" in screen
    assert "iperf3" in screen and "saturating" in screen
    assert "HIGH isp at hop ?" in screen and "already at 15 %" in screen
    assert "HIGH saturation at hop 3 (198.51.100.6)" in screen and "(+167 ms)" in screen
    assert "error from bw: NO_TARGET (fatal): no target" in screen


def test_a_route_change_restarts_its_hops_trend_and_queue_and_is_shown():
    model = ViewModel(["hop"], facts(), started=0)
    for hop, addr in [(2, "198.51.100.2"), (3, "198.51.100.6")]:
        model.apply(hop_loss(hop, addr, 40.0), now=1)
        model.apply(hop_delay(hop, addr, 90.0, True), now=1)
    model.apply(parse_event(sample("route_change", hop=3, old_addr="198.51.100.6", new_addr="198.51.100.10")), now=2)
    rows = {row.label: row for row in model.hop_rows()}
    assert (rows["3"].addr, rows["3"].losses, rows["3"].queue_ms) == ("198.51.100.10", [], None)
    assert (rows["2"].addr, rows["2"].losses, rows["2"].queue_ms) == ("198.51.100.2", [40.0], 90.0)
    console = Console(record=True, width=120)
    console.print(render(model, "203.0.113.10"))
    assert "route changed at hop 3: 198.51.100.6 -> 198.51.100.10" in console.export_text()


def test_an_engine_without_a_route_is_shown_until_restored():
    model = ViewModel(["hop", "bw"], facts(), started=0)
    model.apply(parse_event(sample("path_status", engine="hop", detail="no route to 203.0.113.10")), now=1)
    model.apply(parse_event(sample("path_status", engine="bw", detail="no route to 203.0.113.10")), now=1)
    model.apply(parse_event(sample("path_status", engine="bw", status="restored", detail="from 192.168.2.10")), now=2)

    def screen():
        console = Console(record=True, width=120)
        console.print(render(model, "203.0.113.10"))
        return console.export_text()

    assert "hop cannot measure: no route to 203.0.113.10" in screen() and "bw cannot measure" not in screen()
    model.apply(parse_event(sample("path_status", engine="hop", status="restored", detail="from 192.168.2.10")), now=3)
    assert "cannot measure" not in screen()


def flow_loss(ts, flow, hop, addr, loss):
    return parse_event(sample("flow_loss", ts=ts, flow=flow, hop=hop, addr=addr, loss_pct=loss))


def test_a_hop_the_flows_meet_at_two_routers_shows_each_branch_with_its_flows_and_only_the_latest_cycle():
    model = ViewModel(["hop"], facts(), started=0)
    for hop, addr in [(1, "192.0.2.1"), (2, "198.51.100.2"), (3, "198.51.100.6")]:
        model.apply(hop_loss(hop, addr, 0.0), now=1)
    paths = {0: "198.51.100.2", 1: "198.51.100.246", 2: "198.51.100.2", 3: "198.51.100.246"}
    for flow, branch_router in paths.items():
        lossy = branch_router == "198.51.100.246"
        for hop, addr, loss in [(1, "192.0.2.1", 0.0), (2, branch_router, 20.0 + flow if lossy else 0.0),
                                (3, "198.51.100.6", 20.0 if lossy else 0.0)]:
            model.apply(flow_loss(100, flow, hop, addr, loss), now=1)
    rows = {row.label: row for row in model.hop_rows()}
    assert rows["1"].branches == [] and rows["3"].branches == [], "one router for every flow is no branch"
    assert [(b.addr, b.flows, b.loss_pct) for b in rows["2"].branches] == [
        ("198.51.100.2", (0, 2), 0.0), ("198.51.100.246", (1, 3), 22.0)]
    console = Console(record=True, width=120)
    console.print(render(model, "203.0.113.10"))
    screen = console.export_text()
    assert "└ 198.51.100.246" in screen and "flows 1, 3" in screen

    # The next cycle finds every flow through r2 again: the branch is gone with the cycle that showed it.
    for flow in paths:
        model.apply(flow_loss(105, flow, 2, "198.51.100.2", 0.0), now=6)
    assert all(row.branches == [] for row in model.hop_rows())
