import fcntl
import json
import os
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "client"))
sys.path.insert(0, str(ROOT))

from lab import TestNetwork, clean_leftovers  # noqa: E402
from tarnvale import Probe  # noqa: E402
from wine import WINE, WindowsClient, WinePrefix, log_path_by_port  # noqa: E402


# The probe's default port lies in the kernel's range of local ports for outgoing connections: one that took it
# (Prometheus keeps its scrape connections open for the whole of a test) would keep the probes of the default-port
# tests from binding it. Reserved ports are never handed out that way, and can still be bound by name.
DEFAULT_PORT = 49152
RESERVED_PORTS = Path("/proc/sys/net/ipv4/ip_local_reserved_ports")


def reserve_default_port():
    reserved = RESERVED_PORTS.read_text().strip()
    for entry in filter(None, reserved.split(",")):
        first, _, last = entry.partition("-")
        if int(first) <= DEFAULT_PORT <= int(last or first):
            return
    RESERVED_PORTS.write_text(f"{reserved},{DEFAULT_PORT}" if reserved else str(DEFAULT_PORT))


def pytest_sessionstart(session):
    clean_leftovers()
    reserve_default_port()


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: runs for minutes (left out of the sanitizer runs)")
    config.addinivalue_line("markers", "daily: runs for minutes what a seeded simulation checks in milliseconds, "
                                       "beside a short test of the same behaviour; scripts/test.sh runs it only "
                                       "with TARNVALE_DAILY=1 (CI's daily run), and never under the sanitizers")


def pytest_collection_modifyitems(items):
    """Modules with minutes-long tests run first, each module's tests still together: started last, one of them
    would keep the whole run waiting while the other workers idle."""
    slow_modules = {item.module for item in items if item.get_closest_marker("slow")}
    items.sort(key=lambda item: item.module not in slow_modules)


def network_fixture(name, about, **options):
    """A module-scoped fixture, `name`, of a test network of three routers built with `options`, shared by the
    tests of one module (each module that uses one builds its own)."""
    def build():
        if os.geteuid() != 0:
            pytest.fail("the test network needs root")
        with TestNetwork(hops=3, **options) as net:
            yield net

    build.__doc__ = about
    return pytest.fixture(scope="module", name=name)(build)


network = network_fixture("network", "A client, three routers and a server.")
balanced_network = network_fixture("balanced_network", "The same with r2b beside r2, over which r1 spreads flows.",
                                   balanced=True)


CONTAINER_GATEWAY = "172.18.0.1"  # the client's end of the link, a bridge's as Docker numbers them
CONTAINER_ADDRESS = "172.18.0.2"


@pytest.fixture
def container(network):
    """A network namespace behind the client, as a container's: a veth link into the client, whose uplink it
    reaches through the client's forwarding and address translation."""
    name = f"{network.prefix}-ctr"
    client = network.namespace("client")
    names = Path("/etc/netns") / name
    names.mkdir(parents=True, exist_ok=True)
    (names / "resolv.conf").write_text("nameserver 127.0.0.1\n")
    commands = [
        ["ip", "netns", "add", name],
        ["ip", "-n", client, "link", "add", "ctr0", "type", "veth", "peer", "name", "eth0", "netns", name],
        ["ip", "-n", client, "addr", "add", f"{CONTAINER_GATEWAY}/30", "dev", "ctr0"],
        ["ip", "-n", client, "link", "set", "ctr0", "up"],
        ["ip", "-n", name, "addr", "add", f"{CONTAINER_ADDRESS}/30", "dev", "eth0"],
        ["ip", "-n", name, "link", "set", "eth0", "up"],
        ["ip", "-n", name, "link", "set", "lo", "up"],
        ["ip", "-n", name, "route", "add", "default", "via", CONTAINER_GATEWAY],
        ["ip", "netns", "exec", client, "sysctl", "-qw", "net.ipv4.ip_forward=1"],
        ["ip", "netns", "exec", client, "nft", "add table ip container_nat; "
         "add chain ip container_nat out { type nat hook postrouting priority 100; }; "
         f"add rule ip container_nat out ip saddr {CONTAINER_ADDRESS} oifname eth0 masquerade"],
    ]
    try:
        for command in commands:
            subprocess.run(command, check=True, capture_output=True, text=True)
        yield name
    finally:
        subprocess.run(["ip", "netns", "del", name], capture_output=True)
        shutil.rmtree(names, ignore_errors=True)


@pytest.fixture(scope="session")
def probe_binary() -> Path:
    binary = Path(os.environ.get("TARNVALE_PROBE", ROOT / "build" / "tarnvale_probe"))
    if not binary.exists():
        pytest.fail(f"probe binary {binary} is missing: build it first")
    return binary


@pytest.fixture(scope="session")
def windows_probe() -> Path:
    """The cross-built executable, when TARNVALE_WINDOWS_PROBE names it (the pid helper lies beside it)."""
    configured = os.environ.get("TARNVALE_WINDOWS_PROBE")
    if not configured:
        pytest.skip("TARNVALE_WINDOWS_PROBE is not set (the Windows build is not part of this run)")
    executable = Path(configured)
    if not executable.exists():
        pytest.fail(f"{executable} is missing: build it with the mingw-w64 toolchain first")
    return executable


@pytest.fixture(scope="session")
def wine(windows_probe, tmp_path_factory):
    prefix = WinePrefix(tmp_path_factory.mktemp("wine"))
    yield prefix
    prefix.close()


@pytest.fixture
def windows_client(windows_probe, wine):
    client = WindowsClient(windows_probe.with_name("tarnvale_wine_pid_helper.exe"), wine.env)
    yield client
    client.end()


@pytest.fixture
def probe_kind():
    """Which build the probe fixtures start; modules that run on both parametrise it."""
    return "linux"


@pytest.fixture
def log_dir(tmp_path, probe_kind, request) -> Path:
    """The probe's temporary directory, where it writes its log."""
    if probe_kind == "windows":
        return request.getfixturevalue("wine").logs
    directory = tmp_path / "tmp"
    directory.mkdir()
    return directory


@pytest.fixture
def start_probe(probe_binary, log_dir, probe_kind, request):
    """Starts probes writing their logs to log_dir; all are ended at teardown."""
    started = []
    if probe_kind == "windows":
        wine = request.getfixturevalue("wine")
        client = request.getfixturevalue("windows_client")
        executable = request.getfixturevalue("windows_probe")

    def start(port=0, **kwargs):
        if probe_kind == "windows":
            probe = Probe.start(executable, port=port, env=wine.env, launcher=[WINE], client_pid=client.pid,
                                ready_timeout=60, **kwargs)
        else:
            probe = Probe.start(probe_binary, port=port, env=dict(os.environ, TMPDIR=str(log_dir)), **kwargs)
        started.append(probe)
        return probe

    yield start
    for probe in started:
        probe.close()


@pytest.fixture
def default_port():
    """The probe's default port 49152, held by one test at a time across the suites that run at once (the
    plain, sanitized and Windows builds)."""
    with open("/run/lock/tarnvale-default-port.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield DEFAULT_PORT


@pytest.fixture
def probe(start_probe):
    """A probe that has completed the handshake."""
    probe = start_probe()
    probe.handshake()
    return probe


def log_path(log_dir: Path, probe: Probe | int) -> Path:
    """A probe's log: by process id for a probe of this system, by port for one under Wine."""
    if isinstance(probe, int):
        return log_dir / f"tv_{probe}.log"
    native = log_dir / f"tv_{probe.process.pid}.log"
    return native if native.exists() else log_path_by_port(log_dir, probe.port)


def log_records(log_dir: Path, probe: Probe | int) -> list[dict]:
    return [json.loads(line) for line in log_path(log_dir, probe).read_text().splitlines()]


def log_messages(log_dir: Path, probe: Probe | int) -> list[tuple[str, str]]:
    return [(r["level"], r["fields"]["message"]) for r in log_records(log_dir, probe)]


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
