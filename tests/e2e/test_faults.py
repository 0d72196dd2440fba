"""What a misbehaving client or a hostile byte stream does to the probe: nothing lasting."""

import os
import socket
import signal
import subprocess
import sys
import time

import pytest

from conftest import log_messages
from lab import Iperf3Flow
from probe_helpers import assert_resident_growth_below, open_descriptors, resident_kb, thread_names

# A client in its own process: it starts the probe (only the process that
# started it may connect), prints the probe's pid, shakes hands with its own pid,
# starts the hop engine and echoes every event line it receives.
KILLABLE_CLIENT = r"""
import json, os, socket, subprocess, sys
probe = subprocess.Popen([sys.argv[1], "0"], stdout=subprocess.PIPE, text=True)
port = int(probe.stdout.readline().split("=")[1])
print(f"probe {probe.pid} client {os.getpid()}", flush=True)
connection = socket.create_connection(("127.0.0.1", port))
for command in ({"cmd": "hello", "version": "1.0", "pid": os.getpid()},
                {"cmd": "start_engine", "engine": "hop", "target": sys.argv[2]}):
    connection.sendall((json.dumps(command) + "\n").encode())
for line in connection.makefile():
    print(line, end="", flush=True)
"""


def wait_until_ended(pid, timeout):
    """Waits for a process that is not our child to end (or be left a zombie for its new parent to reap)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rpartition(")")[2].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.1)
    return False


@pytest.mark.parametrize("how", ["closed", "pipe-without-reader"])
def test_standard_output_that_cannot_be_written_aborts_at_ready(probe_binary, log_dir, how):
    env = dict(os.environ, TMPDIR=str(log_dir))
    if how == "closed":
        process = subprocess.Popen([str(probe_binary), "0"], stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   env=env, preexec_fn=lambda: os.close(1))
    else:
        read_end, write_end = os.pipe()
        os.close(read_end)
        process = subprocess.Popen([str(probe_binary), "0"], stdin=subprocess.DEVNULL, stdout=write_end,
                                   stderr=subprocess.PIPE, env=env)
        os.close(write_end)
    _, stderr = process.communicate(timeout=10)
    assert process.returncode == -signal.SIGABRT
    expected = {"closed": "Bad file descriptor", "pipe-without-reader": "Broken pipe"}[how]
    assert stderr.decode().splitlines()[0] == f"failed printing to stdout: {expected}"
    # The log file must not have taken the closed descriptor's place.
    log_text = (log_dir / f"tv_{process.pid}.log").read_text()
    assert "READY" not in log_text and log_text.startswith("{")


@pytest.mark.parametrize("payload", [
    bytes(range(256)) * 4 + b"\n",
    b"\x00\x00\x00\x00\n",
    b'{"cmd":"hello"',
    b'["start_engine",null,null,"hop"',
], ids=["binary", "nul-bytes", "half-object-then-close", "half-array-then-close"])
def test_garbage_and_half_written_frames_end_the_conversation_cleanly(probe, log_dir, payload):
    probe.send_raw(payload)
    if not payload.endswith(b"\n"):
        probe._socket.shutdown(socket.SHUT_WR)
    assert probe.wait() == 0
    assert probe.stderr_text() == ""
    assert log_messages(log_dir, probe.process.pid)[-1] == ("INFO", "tarnvale_probe exiting cleanly")


def test_a_client_killed_mid_stream_ends_the_probe_and_leaves_only_its_log(probe_binary, network, log_dir):
    client = network.popen("client", [sys.executable, "-c", KILLABLE_CLIENT, str(probe_binary),
                                      network.server_address],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           env=dict(os.environ, TMPDIR=str(log_dir)))
    try:
        _, probe_pid, _, client_pid = client.stdout.readline().split()
        probe_pid = int(probe_pid)
        for line in client.stdout:
            if '"type":"hop_loss"' in line:
                break
        client.send_signal(signal.SIGKILL)
        client.wait()
        assert wait_until_ended(probe_pid, timeout=15)
    finally:
        if client.poll() is None:
            client.kill()
    assert os.listdir(log_dir) == [f"tv_{probe_pid}.log"]
    # The closed connection ends the probe at once; on a loaded machine the watchdog's poll may see the client
    # gone first, and its own ending is as sound.
    assert log_messages(log_dir, probe_pid)[-1] in {("INFO", "tarnvale_probe exiting cleanly"),
                                                     ("WARN", f"Python process {client_pid} gone, shutting down")}


def rapid_cycles(probe, engine, target, rounds, in_flight=10):
    """Starts and at once stops the engine `rounds` times, `in_flight` cycles sent before their
    acknowledgements are awaited: rapid, but with a bounded number of launches alive at once, so that the
    allocator's pools reach a size that later bursts reuse and growth beyond it means a leak."""
    for first in range(0, rounds, in_flight):
        batch = min(in_flight, rounds - first)
        for _ in range(batch):
            probe.send({"cmd": "start_engine", "engine": engine, "target": target})
            probe.send({"cmd": "stop_engine", "engine": engine})
        acknowledged = 0
        deadline = time.monotonic() + 30
        while acknowledged < 2 * batch and time.monotonic() < deadline:
            event = probe.next_event(max(0.1, deadline - time.monotonic()))
            acknowledged += event is not None and event["type"] == "ack"
        assert acknowledged == 2 * batch


def test_hundreds_of_rapid_start_stop_cycles_leave_nothing_behind(probe_in_network, network):
    probe = probe_in_network()
    pid = probe.process.pid
    for engine in ("capture", "hop", "bw", "attr"):  # warm-up: first-use allocations are not leaks
        rapid_cycles(probe, engine, network.server_address, 30)
    probe.collect(2)
    threads, descriptors, resident = thread_names(pid), open_descriptors(pid), resident_kb(pid)
    for engine in ("capture", "hop", "bw", "attr"):
        rapid_cycles(probe, engine, network.server_address, 200)
    probe.collect(3)  # engine threads are joined on the blocking pool after their stop
    assert thread_names(pid) == threads
    assert open_descriptors(pid) == descriptors
    assert_resident_growth_below(resident, resident_kb(pid), 4096)


def test_a_client_that_stops_reading_holds_the_probe_still_and_loses_nothing_after(probe_in_network, network):
    probe = probe_in_network()
    pid = probe.process.pid
    with Iperf3Flow(network, "-u", "-b", "5M", "-t", "90", port=5341):
        for engine in ("hop", "bw", "attr"):
            probe.start_engine(engine, network.server_address)
        probe.collect(10)
        resident = resident_kb(pid)
        time.sleep(60)  # nothing read: the socket and then the event queue fill
        assert_resident_growth_below(resident, resident_kb(pid), 4096)
        assert probe.process.poll() is None
        events = probe.collect(15)
    for kind in ("hop_loss", "app_traffic"):
        stamps = [e["ts"] for e in events if e["type"] == kind]
        assert stamps and stamps == sorted(stamps), (kind, stamps)
    assert max(e["ts"] for e in events) >= time.time() - 5, "events are flowing again"
