"""The probe's client side: process start, READY line, handshake, commands and events.

Typical use::

    with Probe.start("/path/to/tarnvale_probe") as probe:
        caps = probe.handshake()
        probe.start_engine("hop", "203.0.113.10")
        for event in probe.events(timeout=10):
            print(event)
        probe.shutdown()
"""

from __future__ import annotations

import ctypes
import json
import os
import select
import socket
import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator, Optional, Sequence

from .probe_facts import ProbeFacts


def _default_probe_binary() -> Path:
    """This checkout's build when there is one, else the package's probe."""
    built = Path(__file__).resolve().parents[2] / "build" / "tarnvale_probe"
    installed = Path("/usr/lib/tarnvale/tarnvale_probe")
    return installed if not built.exists() and installed.exists() else built


DEFAULT_PROBE_BINARY = _default_probe_binary()
PROTOCOL_VERSION = "1.0"


class ProbeError(Exception):
    """The probe could not be started or talked to."""


class HandshakeError(ProbeError):
    """The probe refused the HELLO; `caps` holds its reply when it sent one."""

    def __init__(self, message: str, caps: Optional[dict] = None):
        super().__init__(message)
        self.caps = caps


class ConnectionClosed(ProbeError):
    """The probe closed the control connection."""


class Probe:
    """One running probe process and its control connection."""

    def __init__(self, process: subprocess.Popen, port: int, host: str = "127.0.0.1", netns: Optional[str] = None,
                 client_pid: Optional[int] = None):
        self.process = process
        self.port = port
        self.host = host
        self.netns = netns
        # The process the probe's watchdog follows: this one unless told otherwise.
        self.client_pid = os.getpid() if client_pid is None else client_pid
        self._socket: Optional[socket.socket] = None
        self._buffer = b""
        # What the probe's engines do, from its CAPS reply (after the handshake).
        self.facts: Optional[ProbeFacts] = None

    # ---- process -----------------------------------------------------------

    @classmethod
    def start(
        cls,
        binary: os.PathLike | str = DEFAULT_PROBE_BINARY,
        port: Optional[int | str] = 0,
        netns: Optional[str] = None,
        env: Optional[dict] = None,
        ready_timeout: float = 10.0,
        extra_args: Sequence[str] = (),
        launcher: Sequence[str] = (),
        client_pid: Optional[int] = None,
    ) -> "Probe":
        """Starts the probe (inside network namespace `netns` if given) and waits
        for its READY line. `port=None` passes no port argument. `launcher` goes in
        front of the command (for example Wine for the Windows executable);
        `client_pid` is the process id the HELLO names, when it is not this one."""
        binary = Path(binary)
        if not binary.exists():
            raise ProbeError(f"probe binary not found: {binary} (build it first)")
        command = [str(binary)]
        if port is not None:
            command.append(str(port))
        command.extend(extra_args)
        command = [*launcher, *command]
        if netns is not None:
            command = ["ip", "netns", "exec", netns] + command
        process = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            # Its own session: a Ctrl-C at the client's terminal is for the client,
            # which then shuts the probe down in order.
            start_new_session=True,
        )
        try:
            line = _read_line(process.stdout, ready_timeout)
        except ProbeError:
            process.kill()
            process.wait()
            raise
        if not line.startswith(b"READY port="):
            process.kill()
            _, stderr = process.communicate()
            raise ProbeError(f"probe did not print READY (got {line!r}): {stderr.decode(errors='replace')}")
        return cls(process, int(line[len(b"READY port="):].strip()), netns=netns, client_pid=client_pid)

    def wait(self, timeout: Optional[float] = 10.0) -> int:
        """Waits for the probe to end and returns its exit status."""
        return self.process.wait(timeout=timeout)

    def stderr_text(self) -> str:
        """Standard error of an ended probe."""
        if self.process.poll() is None:
            raise ProbeError("the probe is still running")
        return self.process.stderr.read().decode(errors="replace") if self.process.stderr else ""

    def close(self) -> None:
        """Closes the connection and ends the probe if it still runs."""
        if self._socket is not None:
            self._socket.close()
            self._socket = None
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()

    def __enter__(self) -> "Probe":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    # ---- connection --------------------------------------------------------

    def connect(self, timeout: float = 5.0) -> socket.socket:
        """Connects to the probe's loopback port (inside the probe's network namespace if it has one)."""
        address = (self.host, self.port)
        if self.netns is None:
            self._socket = socket.create_connection(address, timeout=timeout)
        else:
            self._socket = _connect_in_namespace(self.netns, address, timeout)
        self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return self._socket

    def handshake(self, pid: Optional[int] = None, version: Optional[str] = PROTOCOL_VERSION,
                  timeout: float = 10.0) -> dict:
        """Connects if needed, sends HELLO with the client's process id and returns the CAPS reply; its facts
        are kept as `facts`."""
        if self._socket is None:
            self.connect()
        hello: dict[str, Any] = {"cmd": "hello", "pid": self.client_pid if pid is None else pid}
        if version is not None:
            hello["version"] = version
        self.send(hello)
        try:
            caps = self.next_event(timeout)
        except ConnectionClosed as closed:
            raise HandshakeError("connection closed during the handshake") from closed
        if caps is None:
            raise HandshakeError("no CAPS reply")
        if caps.get("type") != "caps" or "error" in caps:
            raise HandshakeError(caps.get("error", f"unexpected reply {caps}"), caps)
        try:
            self.facts = ProbeFacts.from_caps(caps)
        except ValueError as lacking:
            raise HandshakeError(str(lacking), caps) from lacking
        return caps

    def send(self, command: dict) -> None:
        """Sends one command frame."""
        self.send_raw(json.dumps(command, separators=(",", ":")).encode() + b"\n")

    def send_raw(self, data: bytes) -> None:
        if self._socket is None:
            raise ProbeError("not connected")
        self._socket.sendall(data)

    def start_engine(self, engine: str, target: Optional[str] = None) -> None:
        command = {"cmd": "start_engine", "engine": engine}
        if target is not None:
            command["target"] = target
        self.send(command)

    def stop_engine(self, engine: str) -> None:
        self.send({"cmd": "stop_engine", "engine": engine})

    def shutdown(self) -> None:
        self.send({"cmd": "shutdown"})

    # ---- events ------------------------------------------------------------

    def next_event(self, timeout: Optional[float] = 10.0) -> Optional[dict]:
        """The next event, or None when none arrives within `timeout` seconds.
        Raises ConnectionClosed at the end of the stream."""
        line = self.next_line(timeout)
        return None if line is None else json.loads(line)

    def next_line(self, timeout: Optional[float] = 10.0) -> Optional[bytes]:
        """The next raw line without its line feed (None on timeout)."""
        if self._socket is None:
            raise ProbeError("not connected")
        deadline = None if timeout is None else time.monotonic() + timeout
        while b"\n" not in self._buffer:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            if remaining == 0.0:
                return None
            self._socket.settimeout(remaining)
            try:
                chunk = self._socket.recv(65536)
            except socket.timeout:
                return None
            except ConnectionResetError as reset:
                raise ConnectionClosed("connection reset by the probe") from reset
            if not chunk:
                raise ConnectionClosed("the probe closed the connection")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line

    def events(self, timeout: float = 10.0) -> Iterator[dict]:
        """Events until none arrives within `timeout` seconds or the connection ends."""
        while True:
            try:
                event = self.next_event(timeout)
            except ConnectionClosed:
                return
            if event is None:
                return
            yield event

    def wait_for(self, predicate: Callable[[dict], bool], timeout: float = 10.0) -> tuple[dict, list[dict]]:
        """Reads events until one satisfies `predicate`; returns it and those read before it.
        Raises ProbeError when none does within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        skipped: list[dict] = []
        while True:
            remaining = deadline - time.monotonic()
            event = self.next_event(max(0.0, remaining)) if remaining > 0 else None
            if event is None:
                raise ProbeError(f"no matching event within {timeout} s; saw {skipped}")
            if predicate(event):
                return event, skipped
            skipped.append(event)

    def collect(self, seconds: float) -> list[dict]:
        """Every event that arrives within the next `seconds`."""
        deadline = time.monotonic() + seconds
        events = []
        while (remaining := deadline - time.monotonic()) > 0:
            try:
                event = self.next_event(remaining)
            except ConnectionClosed:
                break
            if event is not None:
                events.append(event)
        return events


def _connect_in_namespace(netns: str, address: tuple, timeout: float) -> socket.socket:
    """A TCP connection made from inside network namespace `netns`. Entering a network namespace changes
    only the calling thread, so a short-lived thread enters it and connects; the socket stays in it."""
    outcome: dict[str, Any] = {}

    def connect() -> None:
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            with open(f"/run/netns/{netns}", "rb") as namespace:
                if libc.setns(namespace.fileno(), _CLONE_NEWNET) != 0:
                    error = ctypes.get_errno()
                    raise OSError(error, f"cannot enter network namespace {netns}: {os.strerror(error)}")
            outcome["socket"] = socket.create_connection(address, timeout=timeout)
        except BaseException as error:  # handed to the calling thread
            outcome["error"] = error

    thread = threading.Thread(target=connect, name=f"connect in {netns}")
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["socket"]


_CLONE_NEWNET = 0x40000000


def _read_line(stream, timeout: float) -> bytes:
    """One line from a pipe, or ProbeError after `timeout` seconds or at its end."""
    deadline = time.monotonic() + timeout
    data = b""
    fd = stream.fileno()
    while not data.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ProbeError("timed out waiting for the READY line")
        readable, _, _ = select.select([fd], [], [], remaining)
        if not readable:
            continue
        chunk = os.read(fd, 1)
        if not chunk:
            raise ProbeError(f"probe ended before its READY line (read {data!r})")
        data += chunk
    return data
