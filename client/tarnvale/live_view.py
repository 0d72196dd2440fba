"""The live terminal view of a ViewModel, drawn with rich."""

from __future__ import annotations

from rich import box
from rich.console import Group
from rich.panel import Panel
from rich.table import Table
from rich.text import Text

from .view_model import SPARK_LENGTH, ViewModel, link_speed_text, sparkline

SEVERITY_STYLES = {"high": "bold red", "medium": "yellow", "low": "cyan"}


def _number(value, digits=1, unit=""):
    return "-" if value is None else f"{value:.{digits}f}{unit}"


def hop_table(model: ViewModel, target: str) -> Table:
    table = Table(title=f"path to {target}", title_justify="left", expand=True, box=box.SIMPLE_HEAD)
    for heading, justify, width in (("hop", "right", 5), ("address", "left", 15), ("loss%", "right", 5),
                                    ("trend", "left", SPARK_LENGTH), ("rtt ms", "right", 6), ("queue", "right", 8),
                                    ("Mbps", "right", 7),
                                    ("", "left", 10)):
        table.add_column(heading, justify=justify, no_wrap=True, min_width=width)
    ceiling = model.loss_ceiling()
    for row in model.hop_rows():
        marks = []
        if row.bottleneck:
            marks.append("[bold magenta]bottleneck[/]")
        if row.is_localized:
            marks.append("[bold red]loss starts[/]")
        loss_style = _loss_style(row.loss_pct)
        table.add_row(row.label, row.addr or "*", Text(_number(row.loss_pct), style=loss_style),
                      Text(sparkline(row.losses, ceiling), style=loss_style), _number(row.rtt_ms, 2),
                      Text(f"+{row.queue_ms:.0f} ms", style="magenta") if row.queue_ms is not None else "",
                      link_speed_text(row.mbps, model.facts.train_rate_mbps), " ".join(marks))
        for branch in row.branches:
            table.add_row("", f"└ {branch.addr}", Text(_number(branch.loss_pct), style=_loss_style(branch.loss_pct)),
                          "", "", "", "", f"flows {', '.join(map(str, branch.flows))}")
    return table


def _loss_style(loss_pct) -> str:
    return "red" if (loss_pct or 0) >= 5 else ("yellow" if (loss_pct or 0) > 0 else "green")


def process_panel(model: ViewModel) -> Panel:
    table = Table(expand=True, box=box.SIMPLE_HEAD)
    for heading, justify in (("process", "left"), ("pid", "right"), ("up Mbps", "right"), ("down Mbps", "right"),
                             ("", "left")):
        table.add_column(heading, justify=justify, no_wrap=True)
    for row in model.busiest_processes():
        table.add_row(row.name, str(row.pid), f"{row.mbps_up:.2f}", f"{row.mbps_down:.2f}",
                      "[bold red]saturating[/]" if row.saturating else "")
    return Panel(table, title="busiest processes", title_align="left")


def diagnosis_panel(model: ViewModel) -> Panel:
    event = model.diagnosis
    if event is None:
        return Panel(Text("no degradation diagnosed", style="green"), title="diagnosis", title_align="left")
    style = SEVERITY_STYLES.get(event.severity, "")
    threshold = f"{model.facts.loss_threshold_pct:g} %"
    hop = "?" if event.affected_hop is None else event.affected_hop
    lines = [
        Text.assemble((f"{event.severity.upper()} ", style), (event.cause, "bold"), f" at hop {hop}"),
        Text(event.cause_detail),
        Text(f"loss now {event.loss_now_pct:.1f} %, trend {event.loss_trend_pct_per_min:+.2f} points/min over "
             f"{event.trend_min} min, " + (f"already at {threshold}" if not event.eta_drop_sec
                                            else f"{threshold} in about {event.eta_drop_sec} s")),
    ]
    return Panel(Group(*lines), title="diagnosis", title_align="left", border_style=style)


def latency_panel(model: ViewModel) -> Panel:
    event = model.latency
    if event is None:
        return Panel(Text("no standing queue located", style="green"), title="delay", title_align="left")
    standing = model.queue_standing()
    style = SEVERITY_STYLES.get(event.severity, "") if standing else "dim"
    lines = [
        Text.assemble((f"{event.severity.upper()} ", style), (event.cause, "bold"),
                      f" at hop {event.affected_hop} ({event.addr})", "" if standing else " - since cleared"),
        Text(event.cause_detail),
        Text(f"round trip {event.current_ms:.1f} ms, usually {event.baseline_ms:.1f} ms (+{event.added_ms:.0f} ms)"),
    ]
    return Panel(Group(*lines), title="delay", title_align="left", border_style=style)


def render(model: ViewModel, target: str):
    parts = [hop_table(model, target)]
    for change in model.route_changes:
        parts.append(Text(f"route changed at hop {change.hop}: {change.old_addr} -> {change.new_addr}",
                          style="yellow"))
    for status in model.unroutable.values():
        parts.append(Text(f"{status.engine} cannot measure: {status.detail}", style="bold yellow"))
    waiting = model.waiting_for()
    if waiting:
        parts.append(Text("\n".join(f"waiting: {line}" for line in waiting), style="dim"))
    if "attr" in model.engines:
        parts.append(process_panel(model))
    parts.append(diagnosis_panel(model))
    if "hop" in model.engines:
        parts.append(latency_panel(model))
    for error in model.errors:
        fatal = " (fatal)" if error.fatal else ""
        parts.append(Text(f"error from {error.engine}: {error.code}{fatal}: {error.message}", style="bold red"))
    return Group(*parts)
