"""The paths of a balanced route, as one report cycle's flow_loss events tell them: at each hop where the probe's
flows met more than one router, each router with the flows that met it there and their loss."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Iterable

from .events import FlowLoss


@dataclass(frozen=True)
class Branch:
    addr: str
    flows: tuple[int, ...]
    loss_pct: float  # the mean of its flows' losses


def hop_branches(cycle: Iterable[FlowLoss]) -> dict[int, list[Branch]]:
    """Per hop that the flows met at more than one address, its branches: the one flow 0 took first, then by
    their lowest flow. Hops where every flow met the same router are not branches and are left out."""
    met: dict[int, dict[str, list[FlowLoss]]] = {}
    for event in cycle:
        met.setdefault(event.hop, {}).setdefault(event.addr, []).append(event)
    branches = {}
    for hop, by_addr in sorted(met.items()):
        if len(by_addr) < 2:
            continue
        branches[hop] = sorted(
            (Branch(addr, tuple(sorted(e.flow for e in events)), sum(e.loss_pct for e in events) / len(events))
             for addr, events in by_addr.items()),
            key=lambda branch: branch.flows[0])
    return branches
