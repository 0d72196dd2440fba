"""The Windows executable under Wine, beyond the control-channel suite (which runs on both builds): the engine
framework's stub and the watchdog following a Windows client process."""

import time

import pytest

from conftest import log_messages


@pytest.fixture
def probe_kind():
    return "windows"


def test_the_capture_stub_answers_and_the_probe_exits_cleanly(start_probe, log_dir):
    probe = start_probe()
    probe.handshake()
    probe.start_engine("capture")
    events = probe.collect(1.0)
    stub = next(e for e in events if e["type"] == "error")
    assert (stub["engine"], stub["code"], stub["fatal"]) == ("capture", "ENGINE_STUB", False)
    probe.shutdown()
    probe.wait_for(lambda e: e.get("cmd") == "shutdown")
    assert probe.wait(timeout=30) == 0
    assert log_messages(log_dir, probe)[-1] == ("INFO", "tarnvale_probe exiting cleanly")


def test_the_watchdog_ends_the_probe_when_the_client_process_ends(start_probe, log_dir, windows_client):
    probe = start_probe()
    probe.handshake()
    probe.collect(0.5)
    windows_client.end()
    ended = time.monotonic()
    died, _ = probe.wait_for(lambda e: e.get("code") == "PYTHON_DIED", timeout=15)
    assert (died["engine"], died["fatal"]) == ("watchdog", True)
    assert probe.wait(timeout=30) == 0
    assert time.monotonic() - ended < 10
    assert log_messages(log_dir, probe)[-1] == ("WARN", f"Python process {windows_client.pid} gone, shutting down")
