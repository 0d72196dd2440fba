"""`tarnvale fleet --prometheus URL`: asks the Prometheus that scrapes many hosts' exporters where each host's loss
begins on each of its paths, and names the routers where the loss of several hosts begins. Loss that several
hosts meet first at one router lies on that router's link, not on any one host's own line.

Standard library only: the command runs wherever the client does, without the exporter's dependencies."""

from __future__ import annotations

import http.client
import json
import math
import sys
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import asdict, dataclass, field
from typing import NamedTuple, Optional

# A hop whose probes are lost this often over the window counts as losing; under it, a few lost probes are noise
# (a router's occasional unanswered probe). Loss begins at the lowest hop from which on every hop, up to the end of
# the path, loses at least this much: a loss the later hops do not share is a router declining to answer, not a
# loss of traffic. At the default 10 minutes a hop has some 60 to 120 probes (one every 5 to 10 s): a true loss of
# 10 % seldom falls under the floor at one hop by chance, but one of a few percent can, and then the loss seems to
# begin behind that hop, or not at all. A longer window judges small losses better.
LOSS_FLOOR = 0.02
QUERY_TIMEOUT_SECONDS = 30.0


class PrometheusError(Exception):
    """Prometheus could not be asked, or refused the query."""


class Hop(NamedTuple):
    """One hop of one host's path: its loss over the window (0 to 1) and its router's address, if known."""
    loss: float
    addr: Optional[str]


@dataclass(frozen=True)
class Onset:
    """Where the loss of one host's path to one target begins."""
    host: str  # Prometheus' instance label: the exporter it scraped
    target: str
    hop: int
    addr: Optional[str]
    loss: float  # at that hop
    path_loss: float  # at the last hop of the path


@dataclass
class FleetLoss:
    """The routers where the loss of at least min_hosts hosts begins, with their paths; the other losing paths;
    the paths that lose nothing worth naming."""
    shared: dict[str, list[Onset]] = field(default_factory=dict)  # router address -> onsets, most hosts first
    apart: list[Onset] = field(default_factory=list)
    without_loss: list[tuple[str, str]] = field(default_factory=list)  # (host, target)


def loss_onset(hops: dict[int, Hop], floor: float = LOSS_FLOOR) -> Optional[int]:
    """The lowest hop from which on every hop of the path loses at least `floor`; None when the last hop loses
    less (the traffic to the target does not suffer, whatever a router in between declines to answer)."""
    onset = None
    for hop in sorted(hops, reverse=True):
        if hops[hop].loss < floor:
            break
        onset = hop
    return onset


def locate(paths: dict[tuple[str, str], dict[int, Hop]], min_hosts: int, floor: float = LOSS_FLOOR) -> FleetLoss:
    """Groups the paths, by (host, target), by the router address where their loss begins. A router counts hosts,
    not paths: one host with two targets behind the same router is still one host."""
    found = FleetLoss()
    by_router: dict[str, list[Onset]] = {}
    for (host, target), hops in sorted(paths.items()):
        hop = loss_onset(hops, floor)
        if hop is None:
            found.without_loss.append((host, target))
            continue
        onset = Onset(host, target, hop, hops[hop].addr, hops[hop].loss, hops[max(hops)].loss)
        if onset.addr is None:
            found.apart.append(onset)  # a router without an address joins no other host's
        else:
            by_router.setdefault(onset.addr, []).append(onset)
    for addr, onsets in sorted(by_router.items(), key=lambda item: (-len(hosts_of(item[1])), item[0])):
        if len(hosts_of(onsets)) >= min_hosts:
            found.shared[addr] = onsets
        else:
            found.apart.extend(onsets)
    found.apart.sort(key=lambda onset: (onset.host, onset.target))
    return found


def hosts_of(onsets: list[Onset]) -> set[str]:
    return {onset.host for onset in onsets}


def query(prometheus: str, promql: str) -> list[tuple[dict[str, str], float]]:
    """An instant query's vector as (labels, value) pairs; PrometheusError when it cannot be had."""
    if urllib.parse.urlsplit(prometheus).scheme not in ("http", "https"):
        raise PrometheusError(f"--prometheus takes an http:// or https:// URL, not {prometheus!r}")
    url = f"{prometheus.rstrip('/')}/api/v1/query?{urllib.parse.urlencode({'query': promql})}"
    status = 200
    try:
        with urllib.request.urlopen(url, timeout=QUERY_TIMEOUT_SECONDS) as response:
            body = response.read()
    except urllib.error.HTTPError as refusal:
        # Prometheus refuses a query with an error status and says why in its usual JSON body.
        status, body = refusal.code, refusal.read()
    except (urllib.error.URLError, OSError, http.client.HTTPException) as failure:
        reason = getattr(failure, "reason", failure)
        raise PrometheusError(f"cannot reach Prometheus at {prometheus}: {reason}") from None
    answer = _api_answer(body)
    if answer is None:
        raise PrometheusError(f"{url} did not answer as Prometheus' HTTP API does (HTTP {status})")
    if answer["status"] != "success":
        raise PrometheusError(f"Prometheus refused {promql!r}: {answer.get('errorType')}: {answer.get('error')}")
    return [(item["metric"], float(item["value"][1])) for item in answer["data"]["result"]]


def _api_answer(body: bytes) -> Optional[dict]:
    """The body as the API's JSON object with its status; None for anything else (a proxy's page, another
    service)."""
    try:
        answer = json.loads(body)
    except ValueError:
        return None
    return answer if isinstance(answer, dict) and "status" in answer else None


def fleet_paths(prometheus: str, window: str) -> dict[tuple[str, str], dict[int, Hop]]:
    """Each scraped host's paths, by (host, target): every hop's loss over the window with its router's address."""
    by_hop = "by (instance, target, hop)"
    # Summed, so that the same exporter scraped by two jobs, or under labels of the operator's, is one host.
    losses = query(prometheus, f"sum {by_hop} (rate(tarnvale_hop_probes_lost_total[{window}])) / "
                               f"sum {by_hop} (rate(tarnvale_hop_probes_sent_total[{window}]))")
    # The counters carry no address: the gauges of the same hops do. The address is the hop's router now, which
    # is the window's as long as the route held.
    hop_routers = query(prometheus, "count by (instance, target, hop, addr) (tarnvale_hop_loss_ratio)")
    addresses = {(labels["instance"], labels["target"], labels["hop"]): labels["addr"] for labels, _ in hop_routers}
    paths: dict[tuple[str, str], dict[int, Hop]] = {}
    for labels, loss in losses:
        if not math.isfinite(loss):
            continue  # no probe of the hop had its outcome known within the window
        key = (labels["instance"], labels["target"], labels["hop"])
        paths.setdefault(key[:2], {})[int(labels["hop"])] = Hop(loss, addresses.get(key))
    return paths


def _percent(ratio: float) -> str:
    return f"{100 * ratio:.1f} %"


def _onset_line(onset: Onset, with_router: bool) -> str:
    router = f" at {onset.addr or 'an unknown address'}" if with_router else ""
    return (f"  {onset.host}  to {onset.target}{router}  hop {onset.hop}: {_percent(onset.loss)} lost there, "
            f"{_percent(onset.path_loss)} at the end of the path")


def as_text(found: FleetLoss, window: str, min_hosts: int) -> str:
    lines = []
    for addr, onsets in found.shared.items():
        lines.append(f"loss of {len(hosts_of(onsets))} hosts begins at {addr} (over the last {window}):")
        lines += [_onset_line(onset, with_router=False) for onset in onsets]
    if not found.shared:
        lines.append(f"no router is where the loss of {min_hosts} or more hosts begins (over the last {window})")
    if found.apart:
        lines.append(f"loss that begins elsewhere (at a router fewer than {min_hosts} hosts share):")
        lines += [_onset_line(onset, with_router=True) for onset in found.apart]
    if found.without_loss:
        lines.append(f"no loss of {_percent(LOSS_FLOOR)} or more at the end of the path:")
        lines += [f"  {host}  to {target}" for host, target in found.without_loss]
    return "\n".join(lines)


def as_json(found: FleetLoss, window: str, min_hosts: int) -> str:
    return json.dumps({
        "window": window, "min_hosts": min_hosts, "loss_floor": LOSS_FLOOR,
        "shared": [{"addr": addr, "hosts": sorted(hosts_of(onsets)),
                    "paths": [asdict(onset) for onset in onsets]} for addr, onsets in found.shared.items()],
        "apart": [asdict(onset) for onset in found.apart],
        "without_loss": [{"host": host, "target": target} for host, target in found.without_loss],
    }, indent=2)


def fleet(args) -> int:
    try:
        paths = fleet_paths(args.prometheus, args.window)
    except PrometheusError as problem:
        print(f"tarnvale fleet: {problem}", file=sys.stderr)
        return 2
    if not paths and not args.json:
        print(f"no host's hop counts over the last {args.window} in Prometheus (tarnvale_hop_probes_sent_total)")
        return 0
    found = locate(paths, args.min_hosts)
    print((as_json if args.json else as_text)(found, args.window, args.min_hosts))
    return 0
