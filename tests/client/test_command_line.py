"""The command line without the exporter's dependency, and the options every probe-starting command shares."""

import subprocess
import sys
from pathlib import Path

import pytest

CLIENT = Path(__file__).resolve().parents[2] / "client"
# A module set to None in sys.modules cannot be imported: as if python3-prometheus-client were not installed.
WITHOUT_PROMETHEUS = ("import sys, runpy; sys.modules['prometheus_client'] = None; "
                      "runpy.run_module('tarnvale', run_name='__main__', alter_sys=True)")


def tarnvale_without_prometheus(*args):
    return subprocess.run([sys.executable, "-c", WITHOUT_PROMETHEUS, *args], cwd=CLIENT, capture_output=True,
                          text=True, timeout=60)


@pytest.mark.parametrize("command", [[], ["watch"], ["report"], ["session"], ["export"]])
def test_help_needs_no_prometheus_client(command):
    shown = tarnvale_without_prometheus(*command, "--help")
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.startswith(f"usage: tarnvale {' '.join(command)}".rstrip())


def test_export_says_what_it_lacks_without_prometheus_client():
    refused = tarnvale_without_prometheus("export", "203.0.113.10")
    assert refused.returncode == 1
    assert "export needs prometheus_client" in refused.stderr and "Traceback" not in refused.stderr


def test_every_command_that_starts_probes_takes_the_shared_options_with_its_own_engines():
    sys.path.insert(0, str(CLIENT))
    from tarnvale.__main__ import command_line

    for command, default_engines in (["session", "capture"], ["watch", "hop,bw,attr"], ["export", "hop,bw,attr"]):
        args = command_line().parse_args([command, "t", "--probe", "/p", "--netns", "ns"])
        assert (args.probe, args.netns, args.engines) == ("/p", "ns", default_engines), command
        assert command_line().parse_args([command, "t", "--engines", "hop"]).engines == "hop"
