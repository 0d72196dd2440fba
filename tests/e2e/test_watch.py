"""The client's command line: watch (JSON lines, live view under tmux, recording) and report."""

import json
import os
import struct
import subprocess
import sys
import time
import uuid
from pathlib import Path

CLIENT = Path(__file__).resolve().parents[2] / "client"


def tarnvale(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tarnvale", *args], cwd=CLIENT, capture_output=True, text=True,
                          **kwargs)


def png_size(path):
    header = Path(path).read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


def test_watch_json_for_a_duration_records_and_reports(network, probe_binary, tmp_path):
    recording = tmp_path / "session.jsonl"
    result = tarnvale("watch", network.server_address, "--json", "--duration", "12", "--record", str(recording),
                      "--probe", str(probe_binary), "--netns", network.namespace("client"), timeout=60)
    assert result.returncode == 0, result.stderr
    events = [json.loads(line) for line in result.stdout.splitlines()]
    assert [e["cmd"] for e in events if e["type"] == "ack"] == ["start_engine"] * 3
    assert {e["hop"] for e in events if e["type"] == "hop_loss"} == {1, 2, 3, 4}
    assert any(e["type"] == "bw_estimate" for e in events)
    recorded = [json.loads(line) for line in recording.read_text().splitlines()]
    assert [entry["event"] for entry in recorded] == events
    assert all(time.time() - 60 < entry["at"] <= time.time() for entry in recorded)

    chart = tmp_path / "chart.png"
    drawn = tarnvale("report", str(recording), "--output", str(chart), timeout=120)
    assert drawn.returncode == 0, drawn.stderr
    assert png_size(chart) == (1200, 1000)


def test_live_view_under_tmux_shows_the_hop_rows_and_ends_cleanly_on_ctrl_c(network, probe_binary):
    session = f"tarnvale-{uuid.uuid4().hex[:8]}"
    command = (f"cd {CLIENT} && {sys.executable} -m tarnvale watch {network.server_address} "
               f"--probe {probe_binary} --netns {network.namespace('client')}; echo watch-exit-status $?; sleep 60")
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "120", "-y", "45", command], check=True)

    def screen_when(*texts):
        """The pane once it shows every text (a frame drawn in part may show the hop rows only), or at 20 s."""
        screen, deadline = "", time.monotonic() + 20
        while time.monotonic() < deadline and not all(text in screen for text in texts):
            time.sleep(0.5)
            screen = subprocess.run(["tmux", "capture-pane", "-p", "-t", session], capture_output=True,
                                    text=True).stdout
        return screen

    try:
        view = screen_when("198.51.100.6", "busiest processes", "diagnosis")
        subprocess.run(["tmux", "send-keys", "-t", session, "C-c"], check=True)
        ended = screen_when("watch-exit-status")
    finally:
        subprocess.run(["tmux", "kill-session", "-t", session], capture_output=True)
    assert f"path to {network.server_address}" in view, view
    for address in ("192.168.1.1", "198.51.100.2", "198.51.100.6", network.server_address):
        assert address in view, view
    assert "busiest processes" in view and "diagnosis" in view
    assert "watch-exit-status 0" in ended, ended
    assert "Traceback" not in ended, ended


def test_watch_explains_what_it_needs(tmp_path):
    missing = tarnvale("watch", "203.0.113.10", "--probe", str(tmp_path / "no-probe"), timeout=30)
    assert missing.returncode == 1
    assert f"probe binary not found: {tmp_path / 'no-probe'}" in missing.stderr
    unprivileged = tarnvale("watch", "203.0.113.10", timeout=30, user=65534,
                            env=dict(os.environ, HOME="/tmp"))
    assert unprivileged.returncode == 1
    assert "the probe lacks cap_net_raw" in unprivileged.stderr and "sudo setcap" in unprivileged.stderr
    unknown = tarnvale("watch", "203.0.113.10", "--engines", "hop,nope", timeout=30)
    assert unknown.returncode == 2 and "unknown engine(s) nope" in unknown.stderr


def test_report_refuses_a_file_that_is_not_a_recording(tmp_path):
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"at": 1, "event": {"type": "hop_loss"}}\nnot json\n')
    result = tarnvale("report", str(bad), timeout=60)
    assert result.returncode == 1 and f"{bad}:2: not a recorded event" in result.stderr
