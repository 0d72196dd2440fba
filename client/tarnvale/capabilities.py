"""Whether the probe, started from this process, will hold the Linux capabilities its engines need.

The probe needs no root: it needs CAP_NET_RAW for its raw sockets and packet capture, and, to name the
processes of other users behind their traffic, CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE (their /proc/PID/fd
folders). It gets them from file capabilities on its binary (what the package sets on install), or as root,
or as ambient capabilities of this process (a systemd unit's AmbientCapabilities=)."""

from __future__ import annotations

import errno
import os
import struct
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

CAP_DAC_READ_SEARCH = 2
CAP_NET_RAW = 13
CAP_SYS_PTRACE = 19
NAMES = {CAP_DAC_READ_SEARCH: "cap_dac_read_search", CAP_NET_RAW: "cap_net_raw", CAP_SYS_PTRACE: "cap_sys_ptrace"}
# Every engine sends or captures packets.
PACKET_ENGINES = {"capture", "hop", "bw", "attr"}
OTHER_USERS_PROCESSES = (CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE)

_VFS_CAP_REVISION_MASK = 0xFF000000
_VFS_CAP_REVISION_1 = 0x01000000
_VFS_CAP_FLAGS_EFFECTIVE = 0x000001


@dataclass(frozen=True)
class ProcessCapabilities:
    """The capability sets of /proc/self/status, as bit masks, with the effective user id and whether
    no_new_privs is set (systemd's NoNewPrivileges= and the options that imply it), under which an
    execve grants nothing the process does not already hold."""
    euid: int
    inheritable: int = 0
    bounding: int = 0
    ambient: int = 0
    permitted: int = 0
    no_new_privileges: bool = False

    @classmethod
    def from_status(cls, status_text: str, euid: int) -> "ProcessCapabilities":
        fields = {}
        for line in status_text.splitlines():
            key, _, value = line.partition(":")
            fields[key] = value.strip()
        masks = {key: int(fields.get(key, "0"), 16) for key in ("CapInh", "CapBnd", "CapAmb", "CapPrm")}
        return cls(euid, masks["CapInh"], masks["CapBnd"], masks["CapAmb"], masks["CapPrm"],
                   fields.get("NoNewPrivs") == "1")


@dataclass(frozen=True)
class FileCapabilities:
    """A binary's security.capability attribute."""
    permitted: int = 0
    inheritable: int = 0
    effective: bool = False

    @classmethod
    def parse(cls, raw: bytes) -> "FileCapabilities":
        """The kernel's vfs_cap_data: a magic word, then one (revision 1) or two (revisions 2 and 3)
        little-endian pairs of 32-bit permitted and inheritable words; revision 3 adds a root id."""
        if len(raw) < 12:
            raise ValueError(f"a capability attribute of {len(raw)} bytes")
        magic, permitted_low, inheritable_low = struct.unpack_from("<III", raw)
        permitted_high = inheritable_high = 0
        if magic & _VFS_CAP_REVISION_MASK != _VFS_CAP_REVISION_1:
            if len(raw) < 20:
                raise ValueError(f"a capability attribute of {len(raw)} bytes")
            permitted_high, inheritable_high = struct.unpack_from("<II", raw, 12)
        return cls(permitted_low | permitted_high << 32, inheritable_low | inheritable_high << 32,
                   bool(magic & _VFS_CAP_FLAGS_EFFECTIVE))


def probe_effective_capabilities(process: ProcessCapabilities, file: Optional[FileCapabilities]) -> int:
    """The probe's effective set after this process executes it (capabilities(7), "Transformation of
    capabilities during execve()"; the binary is not set-user-ID)."""
    if process.euid == 0:
        held = process.bounding
    elif file is None:
        held = process.ambient
    else:
        permitted = (process.inheritable & file.inheritable) | (file.permitted & process.bounding)
        held = permitted if file.effective else 0
    return held & process.permitted if process.no_new_privileges else held


@dataclass
class Verdict:
    problem: Optional[str] = None  # why the probe cannot do its work: nothing is started
    warnings: list[str] = field(default_factory=list)  # what it will leave undone


def _names(capabilities, separator=", ") -> str:
    return separator.join(NAMES[number] for number in capabilities)


def grant_command(probe_binary: str) -> str:
    return f"sudo setcap {_names(sorted(NAMES), ',')}+ep {probe_binary}"


def judge(probe_binary: str, engines: list[str], process: ProcessCapabilities,
          file: Optional[FileCapabilities]) -> Verdict:
    held = probe_effective_capabilities(process, file)
    lacks = [number for number in NAMES if not held >> number & 1]
    verdict = Verdict()
    if CAP_NET_RAW in lacks and PACKET_ENGINES.intersection(engines):
        if process.no_new_privileges and file is not None and file.permitted >> CAP_NET_RAW & 1:
            grant = "this process runs with no_new_privs set (systemd's NoNewPrivileges= or an option implying " \
                    "it), under which the probe's file capabilities are not granted: lift it"
        else:
            grant = f"grant it with `{grant_command(probe_binary)}` or run as root"
        verdict.problem = f"the probe lacks cap_net_raw, which it needs to send its probes and capture packets; {grant}"
    elif "attr" in engines and any(number in lacks for number in OTHER_USERS_PROCESSES):
        missing = _names(number for number in OTHER_USERS_PROCESSES if number in lacks)
        verdict.warnings.append(f"attr can name only this user's processes: the probe lacks {missing}, which "
                                f"reading other users' sockets needs; grant it with `{grant_command(probe_binary)}`")
    return verdict


def read_file_capabilities(path: str) -> Optional[FileCapabilities]:
    try:
        return FileCapabilities.parse(os.getxattr(path, "security.capability"))
    except OSError as failure:
        if failure.errno in (errno.ENODATA, errno.ENOTSUP):
            return None
        raise


def check_probe(probe_binary: str, engines: list[str]) -> Verdict:
    """The verdict for this process on this host; no verdict off Linux, whose rules these are not."""
    try:
        with open("/proc/self/status") as status:
            process = ProcessCapabilities.from_status(status.read(), os.geteuid())
    except FileNotFoundError:
        return Verdict()
    try:
        file = read_file_capabilities(probe_binary)
    except (OSError, ValueError) as failure:
        return Verdict(problem=f"cannot read the capabilities of {probe_binary}: {failure}")
    return judge(probe_binary, engines, process, file)


def not_executable(probe_binary: str) -> str:
    """Why this user may not execute the probe: the package lets only root and one group run it."""
    group = Path(probe_binary).group()
    return (f"you may not run {probe_binary}: it runs for root and the members of group {group} "
            f"(`sudo adduser $USER {group}`, then log in again)")


def may_start(probe_binary: str, engines: list[str]) -> bool:
    """Says on standard error why the probe cannot start here, or what it will leave undone."""
    if not Path(probe_binary).exists():
        verdict = Verdict(problem=f"probe binary not found: {probe_binary} (build it with scripts/build.sh)")
    elif not os.access(probe_binary, os.X_OK):
        verdict = Verdict(problem=not_executable(probe_binary))
    else:
        verdict = check_probe(probe_binary, engines)
    for warning in verdict.warnings:
        print(f"tarnvale: {warning}", file=sys.stderr)
    if verdict.problem:
        print(f"tarnvale: {verdict.problem}", file=sys.stderr)
    return verdict.problem is None
