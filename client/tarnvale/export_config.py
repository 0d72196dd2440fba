"""The exporter's targets: those of the command line and of its `--config` YAML file, checked strictly so that a
mistyped key or engine is told at once instead of measuring something else, and what a reload changes."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Iterable, Optional

import yaml

from .config_text import read_config_text
from .metrics import OWN_LABELS

# The engines the probe offers.
ENGINES = ("capture", "hop", "bw", "attr")
TARGET_KEYS = ("target", "engines", "labels")
LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")


class ConfigError(ValueError):
    """The file cannot be read or says something the exporter does not take; the message says what and where."""


@dataclass(frozen=True)
class TargetConfig:
    """One target as the exporter runs it; two are equal when nothing about their probe differs."""
    target: str
    engines: tuple[str, ...]
    labels: tuple[tuple[str, str], ...] = field(default=())  # sorted (name, value) pairs

    @property
    def label_map(self) -> dict[str, str]:
        return dict(self.labels)


def parse_config(text: str, default_engines: Iterable[str]) -> list[TargetConfig]:
    """The targets of a config file's text, in its order; ConfigError names the first problem."""
    try:
        document = yaml.safe_load(text)
    except yaml.YAMLError as problem:
        raise ConfigError(f"not valid YAML: {problem}") from None
    if not isinstance(document, dict):
        raise ConfigError("the file must be a mapping with a `targets` list")
    unknown = sorted(str(key) for key in document if key != "targets")
    if unknown:
        raise ConfigError(f"unknown key {unknown[0]!r} at the top (known: targets)")
    entries = document.get("targets")
    if not isinstance(entries, list):
        raise ConfigError("`targets` must be a list of entries such as `- target: 203.0.113.10`")
    targets: list[TargetConfig] = []
    seen: dict[str, int] = {}
    for index, entry in enumerate(entries):
        where = f"targets[{index}]"
        parsed = _parse_entry(entry, where, tuple(default_engines))
        if parsed.target in seen:
            raise ConfigError(f"{where}: target {parsed.target!r} is listed twice "
                              f"(also targets[{seen[parsed.target]}])")
        seen[parsed.target] = index
        targets.append(parsed)
    return targets


def _parse_entry(entry: object, where: str, default_engines: tuple[str, ...]) -> TargetConfig:
    if not isinstance(entry, dict):
        raise ConfigError(f"{where}: each entry must be a mapping with a `target` key")
    unknown = sorted(str(key) for key in entry if key not in TARGET_KEYS)
    if unknown:
        raise ConfigError(f"{where}: unknown key {unknown[0]!r} (known: {', '.join(TARGET_KEYS)})")
    target = entry.get("target")
    if not isinstance(target, str) or not target.strip():
        raise ConfigError(f"{where}: `target` must be an address or host name as a string, not {target!r}")
    where = f"{where} ({target})"
    engines = _parse_engines(entry["engines"], where) if "engines" in entry else default_engines
    labels = _parse_labels(entry["labels"], where) if "labels" in entry else ()
    return TargetConfig(target, engines, labels)


def _parse_engines(engines: object, where: str) -> tuple[str, ...]:
    if not isinstance(engines, list) or not engines:
        raise ConfigError(f"{where}: `engines` must be a list of engine names such as [hop, bw]")
    for engine in engines:
        if engine not in ENGINES:
            raise ConfigError(f"{where}: unknown engine {engine!r} (known: {', '.join(ENGINES)})")
    if len(set(engines)) != len(engines):
        raise ConfigError(f"{where}: an engine is listed twice in {engines}")
    return tuple(engines)


def _parse_labels(labels: object, where: str) -> tuple[tuple[str, str], ...]:
    if not isinstance(labels, dict):
        raise ConfigError(f"{where}: `labels` must be a mapping of label names to strings")
    for name, value in labels.items():
        if not isinstance(name, str) or not LABEL_NAME.fullmatch(name):
            raise ConfigError(f"{where}: {name!r} is not a Prometheus label name (letters, digits and _, "
                              f"not beginning with a digit)")
        if name.startswith("__"):
            raise ConfigError(f"{where}: label {name!r}: names beginning with __ are Prometheus' own")
        if name in OWN_LABELS:
            raise ConfigError(f"{where}: label {name!r} is one of the exporter's own labels "
                              f"({', '.join(sorted(OWN_LABELS))})")
        if not isinstance(value, str):
            raise ConfigError(f"{where}: label {name!r} must have a string value, not {value!r} (quote it)")
    return tuple(sorted(labels.items()))


def load_config(path: str, default_engines: Iterable[str]) -> list[TargetConfig]:
    """The targets of the file at `path`; ConfigError when it cannot be read or is not valid."""
    text = read_config_text(path, ConfigError)
    try:
        return parse_config(text, default_engines)
    except ConfigError as problem:
        raise ConfigError(f"{path}: {problem}") from None


def merge(command_line: Iterable[str], from_file: list[TargetConfig],
          default_engines: Iterable[str]) -> list[TargetConfig]:
    """The command line's targets with the exporter's engines, then the file's; a target in both takes the file's
    entry (at its place on the command line)."""
    by_target = {entry.target: entry for entry in from_file}
    merged = [by_target.pop(target, TargetConfig(target, tuple(default_engines)))
              for target in dict.fromkeys(command_line)]
    return merged + list(by_target.values())


def attribution_once(targets: list[TargetConfig]) -> list[TargetConfig]:
    """The targets as run: attr only for the first target that asks for it, since the processes it names are the
    host's, the same for every target."""
    counted = False
    run = []
    for entry in targets:
        if "attr" in entry.engines and counted:
            entry = TargetConfig(entry.target, tuple(name for name in entry.engines if name != "attr"), entry.labels)
        counted = counted or "attr" in entry.engines
        run.append(entry)
    return run


@dataclass
class ReloadPlan:
    """What a reload does to the running targets."""
    start: list[TargetConfig] = field(default_factory=list)    # new targets
    stop: list[str] = field(default_factory=list)              # targets no longer listed
    restart: list[TargetConfig] = field(default_factory=list)  # targets whose engines or labels changed
    keep: list[str] = field(default_factory=list)              # unchanged: their probes run on

    @property
    def changes(self) -> bool:
        return bool(self.start or self.stop or self.restart)


def plan_reload(running: dict[str, TargetConfig], wanted: list[TargetConfig]) -> ReloadPlan:
    """Which targets start, stop, restart and stay when the running ones are to become the wanted ones."""
    plan = ReloadPlan()
    wanted_targets = {entry.target for entry in wanted}
    plan.stop = [target for target in running if target not in wanted_targets]
    for entry in wanted:
        now: Optional[TargetConfig] = running.get(entry.target)
        if now is None:
            plan.start.append(entry)
        elif now != entry:
            plan.restart.append(entry)
        else:
            plan.keep.append(entry.target)
    return plan
