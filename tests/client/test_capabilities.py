"""The client's reading of capabilities: the kernel's attribute format, execve's rules, and what it tells."""

import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "client"))
from tarnvale.capabilities import (CAP_DAC_READ_SEARCH, CAP_NET_RAW, CAP_SYS_PTRACE,  # noqa: E402
                                   FileCapabilities, ProcessCapabilities, judge, probe_effective_capabilities,
                                   read_file_capabilities)

ALL = (1 << 41) - 1
NET_RAW = 1 << CAP_NET_RAW
EVERY_NEEDED = NET_RAW | 1 << CAP_DAC_READ_SEARCH | 1 << CAP_SYS_PTRACE
NOBODY = ProcessCapabilities(euid=65534, bounding=ALL)


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setcap") is None, reason="setcap as root sets the attribute")
def test_the_attribute_setcap_writes_reads_back(tmp_path):
    binary = tmp_path / "probe"
    binary.write_bytes(b"")
    assert read_file_capabilities(str(binary)) is None
    subprocess.run(["setcap", "cap_net_raw+eip cap_sys_ptrace+ep", str(binary)], check=True)
    assert read_file_capabilities(str(binary)) == FileCapabilities(
        permitted=NET_RAW | 1 << CAP_SYS_PTRACE, inheritable=NET_RAW, effective=True)


def test_every_revision_of_the_attribute_parses_and_a_cut_one_is_refused():
    revision_2 = struct.pack("<IIIII", 0x02000001, NET_RAW, 0, 1 << (40 - 32), 0)
    assert FileCapabilities.parse(revision_2) == FileCapabilities(NET_RAW | 1 << 40, 0, True)
    # Revision 3 adds the namespace's root id after the same words.
    revision_3 = struct.pack("<IIIIII", 0x03000000, NET_RAW, 0, 0, 0, 1000)
    assert FileCapabilities.parse(revision_3) == FileCapabilities(NET_RAW, 0, False)
    revision_1 = struct.pack("<III", 0x01000001, NET_RAW, 0)
    assert FileCapabilities.parse(revision_1) == FileCapabilities(NET_RAW, 0, True)
    for cut in (revision_2[:16], revision_1[:8], b""):
        with pytest.raises(ValueError):
            FileCapabilities.parse(cut)


def test_the_probe_holds_what_execve_grants_it():
    file = FileCapabilities(permitted=EVERY_NEEDED, effective=True)
    assert probe_effective_capabilities(ProcessCapabilities(euid=0, bounding=ALL), None) == ALL
    assert probe_effective_capabilities(NOBODY, file) == EVERY_NEEDED
    # The bounding set caps what the file grants; a file without the effective bit grants nothing effective.
    assert probe_effective_capabilities(ProcessCapabilities(65534, bounding=NET_RAW), file) == NET_RAW
    assert probe_effective_capabilities(NOBODY, FileCapabilities(permitted=EVERY_NEEDED)) == 0
    # Ambient capabilities (a service's) reach a binary without file capabilities, and not one with them.
    with_ambient = ProcessCapabilities(65534, bounding=ALL, ambient=EVERY_NEEDED)
    assert probe_effective_capabilities(with_ambient, None) == EVERY_NEEDED
    assert probe_effective_capabilities(with_ambient, FileCapabilities(NET_RAW, 0, True)) == NET_RAW
    # Under no_new_privs the file grants nothing beyond what the process holds.
    confined = ProcessCapabilities(65534, bounding=ALL, no_new_privileges=True)
    assert probe_effective_capabilities(confined, file) == 0
    assert probe_effective_capabilities(ProcessCapabilities(0, bounding=ALL, permitted=ALL, no_new_privileges=True),
                                        None) == ALL


def test_status_sets_are_read_as_hex_masks():
    status = "Name:\tpython3\nCapInh:\t0000000000000000\nCapPrm:\t0000000000002000\nCapEff:\t0000000000000000\n" \
             "CapBnd:\t000001ffffffffff\nCapAmb:\t0000000000002000\nNoNewPrivs:\t1\nSeccomp:\t0\n"
    assert ProcessCapabilities.from_status(status, 65534) == ProcessCapabilities(65534, 0, ALL, NET_RAW, NET_RAW,
                                                                                 no_new_privileges=True)
    assert not ProcessCapabilities.from_status(status.replace("NoNewPrivs:\t1", "NoNewPrivs:\t0"), 0).no_new_privileges


def test_the_verdict_names_what_is_missing_and_how_to_grant_it():
    binary = "/usr/lib/tarnvale/tarnvale_probe"
    grant = f"sudo setcap cap_dac_read_search,cap_net_raw,cap_sys_ptrace+ep {binary}"
    bare = judge(binary, ["hop"], NOBODY, None)
    assert "lacks cap_net_raw" in bare.problem and grant in bare.problem
    raw_only = FileCapabilities(NET_RAW, 0, True)
    assert judge(binary, ["hop", "bw"], NOBODY, raw_only).problem is None
    assert judge(binary, ["hop", "bw"], NOBODY, raw_only).warnings == []
    partial = judge(binary, ["hop", "attr"], NOBODY, FileCapabilities(NET_RAW | 1 << CAP_SYS_PTRACE, 0, True))
    assert partial.problem is None
    assert len(partial.warnings) == 1 and "only this user's processes" in partial.warnings[0]
    assert "lacks cap_dac_read_search, which" in partial.warnings[0] and grant in partial.warnings[0]
    confined = judge(binary, ["hop"], ProcessCapabilities(65534, bounding=ALL, no_new_privileges=True),
                     FileCapabilities(EVERY_NEEDED, 0, True))
    assert "lacks cap_net_raw" in confined.problem and "NoNewPrivileges=" in confined.problem
    whole = judge(binary, ["hop", "bw", "attr"], NOBODY, FileCapabilities(EVERY_NEEDED, 0, True))
    assert whole.problem is None and whole.warnings == []
