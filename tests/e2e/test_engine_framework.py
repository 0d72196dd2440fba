"""Engine launches, the capture stub and the client watchdog, end to end."""

import subprocess
import time

from conftest import log_messages

STUB_EVENT = {"engine": "capture", "code": "ENGINE_STUB", "fatal": False,
              "message": "capture engine is not yet implemented; use the hop engine for loss detection"}


def without_ts(event):
    return {k: v for k, v in event.items() if k not in ("ts", "type")}


def test_capture_stub_sends_one_error_event_per_launch(probe, log_dir):
    probe.start_engine("capture")
    events = probe.collect(1.5)
    assert sorted(e["type"] for e in events) == ["ack", "error"]
    error = next(e for e in events if e["type"] == "error")
    assert without_ts(error) == STUB_EVENT and error["ts"] > 1_700_000_000

    probe.start_engine("capture")
    events = probe.collect(1.5)
    assert sorted(e["type"] for e in events) == ["ack", "error"]

    probe.stop_engine("capture")
    assert probe.collect(1.0) == [{"type": "ack", "cmd": "stop_engine", "ok": True}]
    messages = log_messages(log_dir, probe.process.pid)
    assert messages.count(("INFO", "capture engine started (stub)")) == 2
    # The default target is only named in the log: the stub never sends to it.
    assert messages.count(("INFO", "engine 'capture' starting for target '8.8.8.8'")) == 2  # never sent to


def test_unknown_engine_names_are_acknowledged_and_only_logged(probe, log_dir):
    for name in ("bandwidth", "HOP", None):
        command = {"cmd": "start_engine"} if name is None else {"cmd": "start_engine", "engine": name}
        probe.send(command)
        assert probe.next_event() == {"type": "ack", "cmd": "start_engine", "ok": True}
    assert probe.collect(1.0) == []
    messages = log_messages(log_dir, probe.process.pid)
    for name in ("bandwidth", "HOP", ""):
        assert ("INFO", f"engine '{name}' starting for target '8.8.8.8'") in messages  # never sent to
        assert ("WARN", f"unknown engine '{name}'") in messages


def test_exit_sequence_cancels_running_engines(probe):
    probe.start_engine("capture")
    probe.collect(0.5)
    probe.shutdown()
    probe.wait_for(lambda e: e.get("cmd") == "shutdown")
    assert probe.wait(timeout=5) == 0


def test_watchdog_ends_the_probe_when_the_client_process_dies(start_probe, log_dir):
    client = subprocess.Popen(["sleep", "60"])
    try:
        probe = start_probe()
        probe.handshake(pid=client.pid)
        probe.start_engine("capture")
        probe.collect(0.5)
        client.kill()  # not reaped: a zombie has exited too
        killed = time.monotonic()
        died, _ = probe.wait_for(lambda e: e.get("code") == "PYTHON_DIED", timeout=6)
        assert without_ts(died) == {"engine": "watchdog", "code": "PYTHON_DIED",
                                    "message": "Python process no longer alive", "fatal": True}
        assert probe.wait(timeout=5) == 0
        assert time.monotonic() - killed < 4.5
        messages = log_messages(log_dir, probe.process.pid)
        assert messages[-1] == ("WARN", f"Python process {client.pid} gone, shutting down")
    finally:
        client.kill()
        client.wait()


def test_watchdog_ends_the_probe_when_the_client_process_never_existed(start_probe):
    probe = start_probe()
    probe.handshake(pid=4_000_000_000)
    shaken = time.monotonic()
    assert probe.wait(timeout=6) == 0
    assert 1.5 < time.monotonic() - shaken < 4


def test_a_live_client_keeps_the_probe_running(probe):
    assert probe.collect(5.0) == []
    assert probe.process.poll() is None
    probe.send({"cmd": "configure_engine"})
    assert probe.next_event()["ok"] is True
