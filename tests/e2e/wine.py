"""Running the Windows executable under Wine for the end-to-end tests: a Wine prefix of the tests' own whose
temporary directory is a folder the tests read, and a Windows process standing for the client (the probe's
watchdog follows Windows process ids, which a Linux client lacks)."""

import json
import os
import subprocess
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


class WinePrefix:
    def __init__(self, root: Path):
        self.logs = root / "logs"
        self.logs.mkdir(parents=True)
        self.env = dict(os.environ, WINEPREFIX=str(root / "prefix"), WINEDEBUG="-all")
        subprocess.run([WINE, "wineboot", "--init"], env=self.env, check=True, capture_output=True, timeout=180)
        windows_logs = "Z:" + str(self.logs).replace("/", "\\")
        for name in ("TEMP", "TMP"):
            subprocess.run([WINE, "reg", "add", r"HKCU\Environment", "/v", name, "/d", windows_logs, "/f"],
                           env=self.env, check=True, capture_output=True, timeout=60)

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, capture_output=True, timeout=60)


class WindowsClient:
    """The helper process: prints its Windows process id and lives until its standard input closes."""

    # Wine now and then ends a process at its start, before main() runs (seen once in a loaded run): the helper is
    # started again, and a helper that never starts fails with what Wine said.
    START_ATTEMPTS = 3

    def __init__(self, helper: Path, env: dict):
        for _ in range(self.START_ATTEMPTS):
            self.process = subprocess.Popen([WINE, str(helper)], env=env, stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            first_line = self.process.stdout.readline()
            if first_line.strip().isdigit():
                self.pid = int(first_line)
                return
            if self.process.poll() is None:
                self.process.kill()
            _, wine_said = self.process.communicate(timeout=30)
        raise RuntimeError(f"{helper.name} did not start under Wine {self.START_ATTEMPTS} times; "
                           f"last exit status {self.process.returncode}, standard error: {wine_said.strip()!r}")

    def end(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=30)


def log_path_by_port(logs: Path, port: int) -> Path:
    """The log of the probe listening on `port` (its name holds the Windows process id, unknown here)."""
    waiting = f"waiting for Python client on port={port}"
    for path in logs.glob("tv_*.log"):
        for line in path.read_text().splitlines():
            if json.loads(line)["fields"]["message"] == waiting:
                return path
    raise AssertionError(f"no log for the probe on port {port} in {logs}")
