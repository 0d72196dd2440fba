"""The Debian package, built from this tree and installed with apt into a clean Debian 12 root: the probe runs
without root for the members of its group, and the exporter's service runs under systemd in that root booted as
a container in the test network."""

import json
import os
import re
import shutil
import signal
import subprocess
import time
import urllib.request
from pathlib import Path

import pytest

# One worker builds the root and runs every test on it.
pytestmark = [pytest.mark.slow, pytest.mark.xdist_group("package")]
PROBE = "/usr/lib/tarnvale/tarnvale_probe"
CONFIGURATION = "etc/default/tarnvale-export"
TARGETS_FILE = "etc/tarnvale/targets.yml"
SUITE = "bookworm"


def debian_mirror() -> str:
    """The mirror this host's apt uses, so the clean root comes from the same registry."""
    sources = Path("/etc/apt/sources.list.d/debian.sources")
    if sources.exists():
        for line in sources.read_text().splitlines():
            if line.startswith("URIs:"):
                return line.split()[1]
    return "http://deb.debian.org/debian"


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{command}: {result.stdout}{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def package(probe_binary, tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("package")
    run(["cpack", "-G", "DEB", "-B", str(folder)], cwd=probe_binary.parent)
    (built,) = folder.glob("tarnvale_*_amd64.deb")
    return built


@pytest.fixture(scope="module")
def root(package, tmp_path_factory):
    """A minimal Debian 12 with systemd, and the package installed into it as its users would."""
    folder = tmp_path_factory.mktemp("debian")
    folder.chmod(0o755)  # the machine's / : pytest's folders are its owner's alone
    run(["debootstrap", "--variant=minbase", "--include=systemd,systemd-sysv", SUITE, str(folder), debian_mirror()],
        timeout=900)
    shutil.copy(package, folder / "tmp")
    environment = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    run(["chroot", str(folder), "apt-get", "update", "-qq"], env=environment, timeout=300)
    run(["chroot", str(folder), "apt-get", "install", "-y", "-qq", "--no-install-recommends", f"/tmp/{package.name}"],
        env=environment, timeout=600)
    for user, groups in (("alice", ["tarnvale"]), ("bob", [])):
        run(["chroot", str(folder), "useradd", "--create-home", *(["--groups", *groups] if groups else []), user])
    yield folder
    shutil.rmtree(folder)


def in_root(network, root, user, *command, timeout=60):
    """`command` as `user` inside the root, in the test network's client namespace; the namespace's own mount
    table (ip netns exec makes one) takes the root's /proc and /sys and drops them when the command ends."""
    script = 'mount -t proc proc "$1/proc" && mount --rbind /sys "$1/sys" && shift && exec chroot "$@"'
    return subprocess.run(network.command("client", ["sh", "-c", script, "sh", str(root), str(root),
                                                     "runuser", "-u", user, "--", *command]),
                          capture_output=True, text=True, timeout=timeout)


def test_the_probe_is_installed_with_its_capabilities_for_root_and_group_tarnvale(root):
    assert run(["getcap", str(root / PROBE.lstrip("/"))]).split()[1] == \
        "cap_dac_read_search,cap_net_raw,cap_sys_ptrace=ep"
    assert run(["chroot", str(root), "stat", "-c", "%U:%G %a", PROBE]).strip() == "root:tarnvale 750"
    assert run(["chroot", str(root), "getent", "passwd", "tarnvale"]).split(":")[6].strip() == "/usr/sbin/nologin"
    conffiles = run(["chroot", str(root), "dpkg-query", "-W", "-f=${Conffiles}", "tarnvale"])
    assert "/etc/default/tarnvale-export" in conffiles
    assert "/etc/tarnvale/targets.yml" in conffiles
    assert "usage: tarnvale" in run(["chroot", str(root), "tarnvale", "--help"])


def test_a_member_of_the_group_watches_the_path_and_another_user_is_told_why_not(network, root):
    watched = in_root(network, root, "alice", "tarnvale", "watch", network.server_address, "--json",
                      "--duration", "15")
    assert watched.returncode == 0, watched.stderr
    assert "tarnvale:" not in watched.stderr, watched.stderr
    events = [json.loads(line) for line in watched.stdout.splitlines()]
    assert {(e["hop"], e["addr"]) for e in events if e["type"] == "hop_loss"} >= \
        set(enumerate(network.hop_addresses(), start=1))
    assert any(e["type"] == "bw_estimate" for e in events)
    refused = in_root(network, root, "bob", "tarnvale", "watch", network.server_address, "--duration", "5")
    assert refused.returncode == 1
    assert f"you may not run {PROBE}: it runs for root and the members of group tarnvale" in refused.stderr
    assert "sudo adduser $USER tarnvale" in refused.stderr


class BootedRoot:
    """The root booted by systemd-nspawn with its own systemd, in the client namespace."""

    def __init__(self, root: Path, namespace: str):
        self.root = root
        self.machine = subprocess.Popen(
            ["systemd-nspawn", "--quiet", "--register=no", "--keep-unit", "--directory", str(root), "--boot",
             f"--network-namespace-path=/run/netns/{namespace}"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def systemctl(self, *arguments) -> str:
        """systemctl inside the machine, through its init's namespaces."""
        init = run(["pgrep", "-P", str(self.machine.pid)]).split()[0]
        result = subprocess.run(["nsenter", "--target", init, "--all", "systemctl", *arguments], capture_output=True,
                                text=True)
        return result.stdout.strip()

    def journal(self) -> str:
        """The service's lines in the machine's journal, to tell why it is not running."""
        init = run(["pgrep", "-P", str(self.machine.pid)]).split()[0]
        return subprocess.run(["nsenter", "--target", init, "--all", "journalctl", "--no-pager", "-u",
                               "tarnvale-export"], capture_output=True, text=True).stdout

    def children(self, pid: str) -> set[str]:
        """The process ids, in the machine, of the children of its process `pid`."""
        init = run(["pgrep", "-P", str(self.machine.pid)]).split()[0]
        stats = run(["nsenter", "--target", init, "--all", "sh", "-c", "cat /proc/[0-9]*/stat 2>/dev/null || true"])
        return {line.split()[0] for line in stats.splitlines() if line.rsplit(")", 1)[1].split()[1] == pid}

    def wait_until_running(self, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if subprocess.run(["pgrep", "-P", str(self.machine.pid)], capture_output=True).returncode == 0:
                if self.systemctl("is-system-running") in ("running", "degraded"):
                    return
            time.sleep(0.5)
        pytest.fail("the booted root did not come up")

    def power_off(self):
        # systemd-nspawn turns SIGTERM into the container's clean shutdown.
        self.machine.send_signal(signal.SIGTERM)
        output, _ = self.machine.communicate(timeout=60)
        return self.machine.returncode, output


def scrape(namespace_command, port=9477) -> str:
    return subprocess.run(namespace_command(["python3", "-c", f"import urllib.request; print(urllib.request.urlopen("
                                             f"'http://127.0.0.1:{port}/metrics', timeout=5).read().decode())"]),
                          capture_output=True, text=True).stdout


def hop_loss_samples(namespace_command, port=9477):
    text = scrape(namespace_command, port)
    return re.findall(r'^tarnvale_hop_loss_ratio\{addr="([^"]+)",hop="(\d+)",target="([^"]+)"\} (\S+)$', text,
                      re.MULTILINE)


def test_the_service_waits_for_targets_then_serves_the_path_under_systemd(network, root):
    configuration = root / CONFIGURATION
    shipped = configuration.read_text()
    run(["chroot", str(root), "systemctl", "enable", "tarnvale-export.service"])
    machine = BootedRoot(root, network.namespace("client"))
    try:
        machine.wait_until_running()
        # As shipped, no targets: the service is skipped by its condition, not failed.
        assert machine.systemctl("show", "-p", "Result", "--value", "tarnvale-export") == "exec-condition"
        assert machine.systemctl("is-failed", "tarnvale-export") != "failed"
        configuration.write_text(shipped.replace('TARGETS=""', f'TARGETS="{network.server_address}"'))
        machine.systemctl("restart", "tarnvale-export")
        deadline = time.monotonic() + 45
        samples = []
        while time.monotonic() < deadline and len(samples) < 4:
            time.sleep(1)
            samples = hop_loss_samples(lambda command: network.command("client", command))
        assert machine.systemctl("is-active", "tarnvale-export") == "active", machine.journal()
        probe_user = machine.systemctl("show", "-p", "User", "--value", "tarnvale-export")
    finally:
        status, output = machine.power_off()
        configuration.write_text(shipped)
    assert status == 0, output
    assert probe_user == "tarnvale"
    assert sorted((int(hop), address) for address, hop, _, _ in samples) == \
        list(enumerate(network.hop_addresses(), start=1))
    assert all(float(value) == 0 for *_, value in samples)


def test_the_service_takes_its_targets_from_the_shipped_config_file_and_reads_it_again_on_reload(network, root):
    configuration, targets_file = root / CONFIGURATION, root / TARGETS_FILE
    shipped, shipped_targets = configuration.read_text(), targets_file.read_text()
    # The shipped file is valid and names no target; its example is commented.
    assert "targets: []" in shipped_targets.splitlines() and "#   - target: 203.0.113.10" in shipped_targets
    assert '#CONFIG="--config /etc/tarnvale/targets.yml"' in shipped
    assert '#WEB_CONFIG="--web.config.file /etc/tarnvale/web.yml"' in shipped
    run(["chroot", str(root), "systemctl", "enable", "tarnvale-export.service"])
    configuration.write_text(shipped.replace("#CONFIG=", "CONFIG="))  # TARGETS stays empty
    targets_file.write_text(f"targets:\n  - target: {network.server_address}\n")
    machine = BootedRoot(root, network.namespace("client"))
    in_client = lambda command: network.command("client", command)  # noqa: E731

    def targets_measured(wanted: set[str]) -> set[str]:
        measured: set[str] = set()
        deadline = time.monotonic() + 45
        while time.monotonic() < deadline and measured != wanted:
            time.sleep(1)
            measured = {target for _, _, target, _ in hop_loss_samples(in_client)}
        return measured

    try:
        machine.wait_until_running()
        assert "argv[]=/bin/kill -HUP $MAINPID" in machine.systemctl("show", "-p", "ExecReload", "--value",
                                                                      "tarnvale-export")
        assert targets_measured({network.server_address}) == {network.server_address}, machine.journal()
        main_pid = machine.systemctl("show", "-p", "MainPID", "--value", "tarnvale-export")
        probes_before = machine.children(main_pid)
        targets_file.write_text(f"targets:\n  - target: {network.server_address}\n"
                                f"  - target: {network.server_address_v6}\n")
        machine.systemctl("reload", "tarnvale-export")
        deadline, up = time.monotonic() + 30, set()
        while time.monotonic() < deadline and up != {network.server_address, network.server_address_v6}:
            time.sleep(1)
            reloaded = scrape(in_client)
            up = set(re.findall(r'^tarnvale_probe_up\{target="([^"]+)"\} 1\.0$', reloaded, re.MULTILINE))
        journal = machine.journal()
        still_pid = machine.systemctl("show", "-p", "MainPID", "--value", "tarnvale-export")
        probes_after = machine.children(main_pid)
    finally:
        status, output = machine.power_off()
        configuration.write_text(shipped)
        targets_file.write_text(shipped_targets)
    assert status == 0, output
    assert up == {network.server_address, network.server_address_v6}, journal
    assert "reloaded /etc/tarnvale/targets.yml: 1 started, 0 stopped, 0 restarted, 1 running on" in journal
    assert still_pid == main_pid != "0"  # read again, not restarted
    assert "tarnvale_config_last_reload_successful 1.0" in reloaded
    # The target that stayed kept its probe; the new one got its own.
    assert len(probes_before) == 1 and len(probes_after) == 2 and probes_before < probes_after
