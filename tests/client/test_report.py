"""The chart of a recording: each branch of a balanced route drawn beside its hop."""

from event_samples import sample

from tarnvale.events import parse_event
from tarnvale.report import Recording, branch_losses, draw


def flow_loss(ts, flow, hop, addr, loss):
    return parse_event(sample("flow_loss", ts=ts, flow=flow, hop=hop, addr=addr, loss_pct=loss))


def test_each_branch_is_a_series_of_its_flows_mean_loss_and_a_hop_every_flow_shares_is_none(tmp_path):
    entries = []
    for cycle, (ts, at) in enumerate([(100, 5.0), (105, 10.0)]):
        for flow in range(4):
            lossy = flow % 2 == 1
            entries.append((at, flow_loss(ts, flow, 1, "192.0.2.1", 0.0)))
            entries.append((at, flow_loss(ts, flow, 2, "198.51.100.246" if lossy else "198.51.100.2",
                                          10.0 * (cycle + 1) + flow if lossy else 0.0)))
    assert branch_losses(entries) == {
        (2, "198.51.100.2"): [(5.0, 0.0), (10.0, 0.0)],
        (2, "198.51.100.246"): [(5.0, 12.0), (10.0, 22.0)],
    }
    chart = tmp_path / "chart.png"
    draw(Recording([(at, event) for at, event in entries]), chart)
    assert chart.read_bytes().startswith(b"\x89PNG")
