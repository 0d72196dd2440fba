"""The Windows executable under Wine: start-up, handshake, commands, errors, exit statuses, log file and
watchdog, driven by the same client as the Linux build.

Runs when TARNVALE_WINDOWS_PROBE names the cross-built tarnvale_probe.exe (the pid helper beside it)."""

import json
import os
import subprocess
import time
from pathlib import Path

import pytest

from tarnvale import ConnectionClosed, HandshakeError, Probe

WINE = "/usr/lib/wine/wine64"
EXPECTED_CAPS = {"type": "caps", "version": "1.0", "engines": ["capture", "hop", "bw", "attr"],
                 "proto_version": "1.0.0"}


@pytest.fixture(scope="module")
def windows_probe():
    configured = os.environ.get("TARNVALE_WINDOWS_PROBE")
    if not configured:
        pytest.skip("TARNVALE_WINDOWS_PROBE is not set (the Windows build is not part of this run)")
    executable = Path(configured)
    if not executable.exists():
        pytest.fail(f"{executable} is missing: build it with the mingw-w64 toolchain first")
    return executable


@pytest.fixture(scope="module")
def wine(windows_probe, tmp_path_factory):
    """A Wine prefix of our own whose temporary directory is a folder the tests read."""
    root = tmp_path_factory.mktemp("wine")
    logs = root / "logs"
    logs.mkdir()
    env = dict(os.environ, WINEPREFIX=str(root / "prefix"), WINEDEBUG="-all")
    subprocess.run([WINE, "wineboot", "--init"], env=env, check=True, capture_output=True, timeout=180)
    windows_logs = "Z:" + str(logs).replace("/", "\\")
    for name in ("TEMP", "TMP"):
        subprocess.run([WINE, "reg", "add", r"HKCU\Environment", "/v", name, "/d", windows_logs, "/f"], env=env,
                       check=True, capture_output=True, timeout=60)
    yield env, logs
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, capture_output=True, timeout=60)


class WindowsClient:
    """A Windows process standing for the client, so that the watchdog has a process to follow."""

    def __init__(self, helper: Path, env: dict):
        self.process = subprocess.Popen([WINE, str(helper)], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)
        self.pid = int(self.process.stdout.readline())

    def end(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=30)


@pytest.fixture
def windows_client(windows_probe, wine):
    client = WindowsClient(windows_probe.with_name("tarnvale_wine_pid_helper.exe"), wine[0])
    yield client
    client.end()


@pytest.fixture
def start_windows_probe(windows_probe, wine, windows_client):
    started = []

    def start():
        probe = Probe.start(windows_probe, launcher=[WINE], env=wine[0], client_pid=windows_client.pid,
                            ready_timeout=60)
        started.append(probe)
        return probe

    yield start
    for probe in started:
        probe.close()


def log_messages(logs: Path, probe: Probe) -> list[tuple[str, str]]:
    """The records of the probe's log (its name holds the Windows process id, so it is found by port)."""
    for path in logs.glob("tv_*.log"):
        records = [json.loads(line) for line in path.read_text().splitlines()]
        if any(r["fields"]["message"] == f"waiting for Python client on port={probe.port}" for r in records):
            return [(r["level"], r["fields"]["message"]) for r in records]
    raise AssertionError(f"no log for the probe on port {probe.port} in {logs}")


def test_handshake_commands_and_shutdown(start_windows_probe, wine, windows_client):
    probe = start_windows_probe()
    assert probe.handshake() == EXPECTED_CAPS
    probe.start_engine("capture")
    events = probe.collect(1.0)
    assert {e["type"] for e in events} == {"error", "ack"}
    stub = next(e for e in events if e["type"] == "error")
    assert (stub["engine"], stub["code"], stub["fatal"]) == ("capture", "ENGINE_STUB", False)
    probe.send({"cmd": "start_engine", "engine": "no-such-engine"})
    assert probe.next_event() == {"type": "ack", "cmd": "start_engine", "ok": True}
    probe.shutdown()
    probe.wait_for(lambda e: e.get("cmd") == "shutdown")
    assert probe.wait(timeout=30) == 0
    messages = log_messages(wine[1], probe)
    assert ("WARN", "unknown engine 'no-such-engine'") in messages
    assert messages[-1] == ("INFO", "tarnvale_probe exiting cleanly")


def test_a_bad_frame_ends_the_conversation_with_status_0(start_windows_probe, wine):
    probe = start_windows_probe()
    probe.handshake()
    probe.send_raw(b"not json\n")
    with pytest.raises(ConnectionClosed):
        while True:
            probe.next_event(10)
    assert probe.wait(timeout=30) == 0
    errors = [m for level, m in log_messages(wine[1], probe) if level == "ERROR"]
    assert len(errors) == 1 and errors[0].startswith("command read error: parse error at line 1"), errors


def test_a_version_mismatch_ends_with_status_1_and_its_cause(start_windows_probe):
    probe = start_windows_probe()
    with pytest.raises(HandshakeError):
        probe.handshake(version="2.0")
    assert probe.wait(timeout=30) == 1
    assert probe.stderr_text().replace("\r\n", "\n") == \
        "Error: handshake failed\n\nCaused by:\n    protocol version mismatch\n"


def test_the_watchdog_ends_the_probe_when_the_client_process_ends(start_windows_probe, wine, windows_client):
    probe = start_windows_probe()
    probe.handshake()
    probe.collect(0.5)
    windows_client.end()
    ended = time.monotonic()
    died, _ = probe.wait_for(lambda e: e.get("code") == "PYTHON_DIED", timeout=15)
    assert (died["engine"], died["fatal"]) == ("watchdog", True)
    assert probe.wait(timeout=30) == 0
    assert time.monotonic() - ended < 10
    assert log_messages(wine[1], probe)[-1] == ("WARN", f"Python process {windows_client.pid} gone, shutting down")
