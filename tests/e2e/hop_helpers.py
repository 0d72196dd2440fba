"""Helpers for the end-to-end tests that run the probe in the test network."""

import glob
import os


def thread_names(pid):
    names = []
    for path in glob.glob(f"/proc/{pid}/task/*/comm"):
        try:
            with open(path) as comm:
                names.append(comm.read().strip())
        except FileNotFoundError:  # a thread that ended while we looked
            pass
    return sorted(names)


def open_descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def cycles(events, kind="hop_loss"):
    """Groups events of one kind by their reporting cycle (their ts), in arrival order."""
    grouped = {}
    for event in events:
        if event["type"] == kind:
            grouped.setdefault(event["ts"], []).append(event)
    return list(grouped.values())
