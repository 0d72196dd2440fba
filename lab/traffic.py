"""Real traffic across the test network: an iperf3 flow from a client node to a server node."""

import json
import subprocess
import time
from typing import Optional

from .network import NetworkError, TestNetwork

# A setup datagram is lost with the link's loss each time (30 % at most in the tests), and a TCP control
# connection whose first segments were lost may miss the 5 s: twelve attempts all fail about once in 700 000 flows
# (eight, once in 8 000, and a test starts eight flows).
STREAM_SETUP_ATTEMPTS = 12
STREAM_SETUP_SECONDS = 5.0


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
        congestion = [] if "-u" in client_args else ["-C", "cubic"]
        client_command = ["iperf3", "-c", self.address, "-p", str(port), "-J", *congestion, *client_args]
        # A UDP stream is set up by one datagram from the client and one answer, neither of which this iperf3
        # (3.12) sends again: when a lossy link drops one, the client waits 30 s, gives up and ends with nothing
        # sent. Such a flow is ended and started afresh.
        for _ in range(STREAM_SETUP_ATTEMPTS):
            self.server = network.popen(server_node, ["iperf3", "-s", "-1", "-p", str(port)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self._wait_for_server(server_node, port)
                self.client = network.popen(client_node, client_command, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, text=True)
                if self._stream_set_up(server_node, port):
                    return
                self._stop(self.client)
            except BaseException:
                self._stop(self.server)
                raise
            self._stop(self.server)
        raise NetworkError(f"iperf3 to {self.address} port {port} set up no data stream in {STREAM_SETUP_ATTEMPTS} "
                           f"attempts of {STREAM_SETUP_SECONDS} s")

    def _wait_for_server(self, node: str, port: int, timeout: float = 5.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            listening = self.network.run(node, ["ss", "-Hltn", f"sport = :{port}"], check=False).stdout
            if listening.strip():
                return
            time.sleep(0.05)
        raise NetworkError(f"iperf3 server on {node} port {port} did not start")

    def _stream_set_up(self, node: str, port: int) -> bool:
        """Whether the server has connected its end of the data stream beside the control connection, or the
        client has already ended, which `result()` reports. A UDP stream's end is connected once the client's
        setup datagram arrived; the answer goes back the other way, which no flow's link loses."""
        deadline = time.monotonic() + STREAM_SETUP_SECONDS
        while time.monotonic() < deadline:
            if self.client.poll() is not None:
                return True
            connected = self.network.run(node, ["ss", "-Htun", "state", "established", f"sport = :{port}"],
                                         check=False).stdout
            if len(connected.splitlines()) >= 2:
                return True
            time.sleep(0.05)
        return False

    def result(self, timeout: float = 60) -> dict:
        out, err = self.client.communicate(timeout=timeout)
        if self.client.returncode != 0:
            raise NetworkError(f"iperf3 client failed ({self.client.returncode}): {out[-500:]} {err[-500:]}")
        report = json.loads(out)
        # With -J the client reports some failures only here, ending with status 0.
        if "error" in report:
            raise NetworkError(f"iperf3 client failed: {report['error']}")
        return report

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

