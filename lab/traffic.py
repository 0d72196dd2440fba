"""Real traffic across the test network: an iperf3 flow from a client node to a server node."""

import json
import subprocess
import time
from typing import Optional

from .network import NetworkError, TestNetwork


class Iperf3Flow:
    """An iperf3 server on `server_node` and a client on `client_node` (the client namespace unless told)
    sending to it.

    Use as a context manager; `result()` waits for the client's end and returns its JSON report.
    The client runs `ip netns exec` which execs iperf3, so `client.pid` is iperf3's own.
    A TCP flow uses CUBIC, as the hosts of real paths do (Windows' default and Linux's own): a namespace
    would take this machine's choice, which may be BBR, whose flows keep a bottleneck's queue nearly empty,
    and may not switch to another (only the first namespace may), while a root process may for its socket.
    """

    def __init__(self, network: TestNetwork, *client_args: str, server_node: str = "server",
                 address: Optional[str] = None, port: int = 5301, client_node: str = "client"):
        self.network = network
        self.address = address or network.server_address
        self.server = network.popen(server_node, ["iperf3", "-s", "-1", "-p", str(port)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self._wait_for_server(server_node, port)
            congestion = [] if "-u" in client_args else ["-C", "cubic"]
            self.client = network.popen(client_node, ["iperf3", "-c", self.address, "-p", str(port), "-J",
                                                      *congestion, *client_args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        except BaseException:
            self._stop(self.server)
            raise

    def _wait_for_server(self, node: str, port: int, timeout: float = 5.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            listening = self.network.run(node, ["ss", "-Hltn", f"sport = :{port}"], check=False).stdout
            if listening.strip():
                return
            time.sleep(0.05)
        raise NetworkError(f"iperf3 server on {node} port {port} did not start")

    def result(self, timeout: float = 60) -> dict:
        out, err = self.client.communicate(timeout=timeout)
        if self.client.returncode != 0:
            raise NetworkError(f"iperf3 client failed ({self.client.returncode}): {out[-500:]} {err[-500:]}")
        return json.loads(out)

    @staticmethod
    def _stop(process: subprocess.Popen) -> None:
        if process.poll() is None:
            process.kill()
        process.wait()

    def __enter__(self) -> "Iperf3Flow":
        return self

    def __exit__(self, *exc) -> None:
        self._stop(self.client)
        self._stop(self.server)

