"""What the probe's engines do that the client shows but their events do not carry, as the probe's CAPS reply
tells it: the client copies none of it."""

from __future__ import annotations

from dataclasses import dataclass, field, fields


def _member(name: str, divisor: int = 1):
    """A fact read from the CAPS member `name`, divided by `divisor` (1000: milliseconds to seconds)."""
    return field(metadata={"member": name, "divisor": divisor})


@dataclass(frozen=True)
class ProbeFacts:
    # A degradation warns of a hop whose loss is at or heading for this share.
    loss_threshold_pct: float = _member("loss_threshold_pct")
    # hop_loss and hop_delay come once per period, the first one period after the hop engine's start.
    hop_report_seconds: float = _member("hop_report_ms", 1000)
    # The first bw_estimate (hop 1) comes this long after the bandwidth engine's start, and one of every hop
    # once per sweep.
    bw_first_estimate_seconds: float = _member("bw_first_estimate_ms", 1000)
    bw_sweep_seconds: float = _member("bw_sweep_ms", 1000)
    # The bandwidth trains' own rate: the spacing of their answers shows only a link slower than that, so a
    # figure near or above it says nothing but "faster than the trains".
    train_rate_mbps: float = _member("train_rate_mbps")
    # app_traffic comes once per cycle, its rates over the cycle.
    attr_cycle_seconds: float = _member("attr_cycle_ms", 1000)

    @classmethod
    def from_caps(cls, caps: dict) -> "ProbeFacts":
        """The facts of a CAPS reply; ValueError names the members it lacks or that are not numbers."""
        values, wanting = {}, []
        for fact in fields(cls):
            value = caps.get(fact.metadata["member"])
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                wanting.append(fact.metadata["member"])
            else:
                values[fact.name] = value / fact.metadata["divisor"]
        if wanting:
            raise ValueError(f"the CAPS reply lacks the probe's facts {', '.join(wanting)}")
        return cls(**values)
