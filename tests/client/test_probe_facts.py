"""The probe's facts as its CAPS reply tells them, and a recording that keeps them for the chart."""

import json
import os
from pathlib import Path

import pytest
from event_samples import CAPS_LINE, LINES, facts

from tarnvale import HandshakeError, Probe
from tarnvale.events import HopLoss
from tarnvale.probe_facts import ProbeFacts
from tarnvale.report import read_recording

PROBE = Path(os.environ.get("TARNVALE_PROBE", Path(__file__).resolve().parents[2] / "build" / "tarnvale_probe"))


def test_facts_are_read_in_seconds_from_the_caps_members():
    assert ProbeFacts.from_caps(json.loads(CAPS_LINE)) == ProbeFacts(
        loss_threshold_pct=15.0, hop_report_seconds=7.0, bw_first_estimate_seconds=1.65, bw_sweep_seconds=54.5,
        train_rate_mbps=2.24, attr_cycle_seconds=1.0)


def test_a_reply_without_every_fact_is_refused_naming_what_it_lacks():
    caps = json.loads(CAPS_LINE)
    del caps["bw_sweep_ms"]
    caps["attr_cycle_ms"] = True
    with pytest.raises(ValueError, match="lacks the probe's facts bw_sweep_ms, attr_cycle_ms"):
        ProbeFacts.from_caps(caps)


@pytest.mark.skipif(not PROBE.exists(), reason=f"no probe built at {PROBE}")
def test_the_probes_own_reply_tells_every_fact():
    with Probe.start(PROBE) as probe:
        caps = probe.handshake()
        probe.shutdown()
        probe.wait_for(lambda event: event.get("cmd") == "shutdown")
    told = probe.facts
    assert told == ProbeFacts.from_caps(caps)
    # The engines' schedule: a hop report every few seconds, hop 1's trains well within a sweep of every hop.
    assert 0 < told.hop_report_seconds < 60 and 0 < told.attr_cycle_seconds < 60
    assert 0 < told.bw_first_estimate_seconds < told.bw_sweep_seconds
    assert 0 < told.loss_threshold_pct < 100 and told.train_rate_mbps > 0


def test_handshake_refuses_a_reply_without_the_facts(monkeypatch):
    probe = Probe(process=None, port=0)
    reply = {"type": "caps", "version": "1.0", "engines": [], "proto_version": "1.0.0"}
    monkeypatch.setattr(probe, "send", lambda command: None)
    monkeypatch.setattr(probe, "next_event", lambda timeout: reply)
    probe._socket = object()
    with pytest.raises(HandshakeError, match="lacks the probe's facts") as refused:
        probe.handshake()
    assert refused.value.caps == reply and probe.facts is None


def test_a_recording_keeps_the_facts_in_its_first_entry(tmp_path):
    recording = tmp_path / "run.jsonl"
    hop_loss = json.loads(LINES["hop_loss"])
    recording.write_text(json.dumps({"at": 10.0, "event": hop_loss, "caps": json.loads(CAPS_LINE)}) + "\n" +
                         json.dumps({"at": 17.0, "event": hop_loss}) + "\n")
    read = read_recording(recording)
    assert read.facts == facts()
    assert [(at, type(event)) for at, event in read.entries] == [(10.0, HopLoss), (17.0, HopLoss)]
    older = tmp_path / "older.jsonl"
    older.write_text(json.dumps({"at": 10.0, "event": hop_loss}) + "\n")
    assert read_recording(older).facts is None, "a recording made before the probe told its facts"


def test_a_recorded_event_without_its_members_is_named_by_its_line(tmp_path):
    recording = tmp_path / "run.jsonl"
    recording.write_text('{"at": 1, "event": {"type": "hop_loss"}}\n')
    with pytest.raises(ValueError, match=f"{recording}:1: hop_loss event lacks member 'ts'"):
        read_recording(recording)
