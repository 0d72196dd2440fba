"""A small internet in network namespaces: a client, a chain of routers and a server.

Every packet the probe sends in tests, benchmarks and the demo stays inside these namespaces.
"""

from .network import Link, TestNetwork, clean_leftovers, NetworkError
from .traffic import Iperf3Flow
from .udp_flows import DatagramAnswer, send_udp_flows

__all__ = ["Link", "TestNetwork", "clean_leftovers", "NetworkError", "Iperf3Flow", "DatagramAnswer",
           "send_udp_flows"]
