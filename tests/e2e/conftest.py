import json
import os
import socket
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "client"))
sys.path.insert(0, str(ROOT))

from lab import TestNetwork, clean_leftovers  # noqa: E402
from tarnvale import Probe  # noqa: E402


def pytest_sessionstart(session):
    clean_leftovers()


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: runs for minutes (left out of the sanitizer run)")


@pytest.fixture(scope="module")
def network():
    """A client, three routers and a server, shared by the tests of one module."""
    if os.geteuid() != 0:
        pytest.fail("the test network needs root")
    with TestNetwork(hops=3) as net:
        yield net


@pytest.fixture(scope="session")
def probe_binary() -> Path:
    binary = Path(os.environ.get("TARNVALE_PROBE", ROOT / "build" / "tarnvale_probe"))
    if not binary.exists():
        pytest.fail(f"probe binary {binary} is missing: build it first")
    return binary


@pytest.fixture
def log_dir(tmp_path) -> Path:
    """The probe's temporary directory, where it writes its log."""
    directory = tmp_path / "tmp"
    directory.mkdir()
    return directory


@pytest.fixture
def start_probe(probe_binary, log_dir):
    """Starts probes writing their logs to log_dir; all are ended at teardown."""
    started = []

    def start(port=0, **kwargs):
        env = dict(os.environ, TMPDIR=str(log_dir))
        probe = Probe.start(probe_binary, port=port, env=env, **kwargs)
        started.append(probe)
        return probe

    yield start
    for probe in started:
        probe.close()


@pytest.fixture
def probe(start_probe):
    """A probe that has completed the handshake."""
    probe = start_probe()
    probe.handshake()
    return probe


def log_records(log_dir: Path, pid: int) -> list[dict]:
    path = log_dir / f"tv_{pid}.log"
    return [json.loads(line) for line in path.read_text().splitlines()]


def log_messages(log_dir: Path, pid: int) -> list[tuple[str, str]]:
    return [(r["level"], r["fields"]["message"]) for r in log_records(log_dir, pid)]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def probe_in_network(start_probe, network):
    """Starts probes inside the test network's client namespace, handshake done."""
    def start():
        probe = start_probe(netns=network.namespace("client"))
        probe.handshake()
        return probe
    return start
