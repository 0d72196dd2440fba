"""Builds and drives the test network, dual stack.

    client 192.168.1.10/24 -- r1 (192.168.1.1 | 198.51.100.1/30) -- r2 (198.51.100.2 | 198.51.100.5/30)
           -- ... -- rN (198.51.100.x | 203.0.113.1/24) -- server 203.0.113.10/24

and beside it, from the IPv6 documentation prefix:

    client 2001:db8:1::10/64 -- r1 (2001:db8:1::1 | 2001:db8:100:1::1/64) -- r2 (2001:db8:100:1::2 | ...)
           -- ... -- rN (2001:db8:100:N-1::2 | 2001:db8:113::1/64) -- server 2001:db8:113::10/64

Each node is a network namespace. A node's eth0 faces the client, its eth1 the server. Links are veth pairs
created straight inside the namespaces, so nothing appears in the host's own namespace. Root is needed.

With `bypass=k`, router rk's two neighbours are linked directly as well (each by its eth2, on 198.51.100.252/30
and 2001:db8:100:ff::/64), and the path takes that link, leaving rk out, until `set_bypass(False)` routes it
through rk: a router joins the path, and every later hop moves one TTL out.

With `balanced=True` (three routers or more), a second router r2b stands beside r2, as on the many Internet
routes that cross a load balancer:

    r1 eth2 (198.51.100.245/30) -- (198.51.100.246) r2b (198.51.100.249/30) -- (198.51.100.250) r3 eth2
    r1 eth2 (2001:db8:100:fd::1/64) -- (fd::2) r2b (2001:db8:100:fe::1/64) -- (fe::2) r3 eth2

r1 spreads the flows towards the server, and towards anything else behind r3, over r2 and r2b with a multipath
route hashed on each packet's addresses, protocol and ports (fib_multipath_hash_policy=3 with those fields, both
families): every packet of one flow takes the same branch, whichever socket sent it, and hop 2 answers from r2
or r2b by flow. Both branches are equally long. The way back takes r2 alone (r3 routes the client's network over
r2), so of r2b's links towards the client only r2b -> r1 carries anything, r2b's own answers. r3 answers a probe
from the interface it came in by (eth0 from r2, eth2 from r2b: IPv6 does so anyway, IPv4 with
icmp_errors_use_inbound_ifaddr), so hop 3 tells the branches apart too. The routers check no return path
(rp_filter off), since r1 and r3 see packets come in by another link than their route back.
`hop_addresses(branch="r2b")` lists the addresses of the path through r2b, and `lab.send_udp_flows` finds which
branch a flow takes. A bypass and a balanced segment both take r1's and r3's eth2, so a network has one or the
other.

With `second_client=True`, a second host client2 reaches the server over a router of its own, r1b, that joins
r2, as two sites of one company meet on a provider's router:

    client2 192.168.3.10/24 -- r1b (192.168.3.1 | 198.51.100.241/30) -- (198.51.100.242) r2 eth2
    client2 2001:db8:3::10/64 -- r1b (2001:db8:3::1 | 2001:db8:100:fc::1/64) -- (fc::2) r2 eth2

From r2 on both clients share the path; r2 answers client2 from its eth2 (the interface towards it), the later
routers from the same addresses as they answer the client (`client2_hop_addresses`). The routers from r2 on
route client2's networks back; the client and r1 know nothing of them. A bypass would take r2's eth2 or leave r2
out, so a network with a second client has none.

The network changes as a host's does over weeks (changes.py): a link goes down and comes back with its routes
(`set_link_state`), the client's address is renewed as another (`renew_client_address`), the client moves to a
new link to r1 on 192.168.2.0/24 and 2001:db8:2::/64 (client eth1, r1 eth3) and its old interface is deleted
(`swap_client_device`, which moves it back when called again), its default routes are withdrawn and given back
(`set_client_route`).
"""

from __future__ import annotations

import ipaddress
import os
import re
import secrets
import shutil
import shlex
import subprocess
from pathlib import Path
from typing import Callable, Optional, Sequence

from .changes import NetworkChanges
from .conditions import NFT_TABLE, Link, NetworkError, PathConditions, run

CLIENT_ADDRESS = "192.168.1.10"
SERVER_ADDRESS = "203.0.113.10"
CLIENT_NET = ipaddress.ip_network("192.168.1.0/24")
SERVER_NET = ipaddress.ip_network("203.0.113.0/24")
ROUTER_LINKS = ipaddress.ip_network("198.51.100.0/24")


class Addressing:
    """One address family's plan: the client's and the server's networks, and one small network per link
    between two routers, on which the router nearer the client takes the first address and the other the
    second."""

    def __init__(self, ip: str, client_net: str, client: str, server_net: str, server: str,
                 link_subnet: Callable[[int], ipaddress.IPv4Network | ipaddress.IPv6Network], bypass_net: str,
                 branch_nets: tuple[str, str], client2_net: str, client2: str, client2_link_net: str):
        self.ip = ip  # the ip(8) command of the family
        self.client_net = ipaddress.ip_network(client_net)
        self.client = client
        self.server_net = ipaddress.ip_network(server_net)
        self.server = server
        self.link_subnet = link_subnet
        # The link around a bypassed router, clear of every router link of a 60-router chain.
        self.bypass_net = ipaddress.ip_network(bypass_net)
        # The links r1 -- r2b and r2b -- r3 of a balanced network, just below the bypass link.
        self.branch_nets = tuple(ipaddress.ip_network(net) for net in branch_nets)
        # The second client's network (r1b takes its first address) and the link r1b -- r2, below the branch links.
        self.client2_net = ipaddress.ip_network(client2_net)
        self.client2 = client2
        self.client2_gateway = str(self.client2_net.network_address + 1)
        self.client2_link_net = ipaddress.ip_network(client2_link_net)

    @staticmethod
    def link_ends(net: ipaddress.IPv4Network | ipaddress.IPv6Network) -> tuple[str, str]:
        """(nearer the client, nearer the server) addresses on a link between two routers, without prefix
        lengths."""
        return str(net.network_address + 1), str(net.network_address + 2)

    def bypass_addresses(self) -> tuple[str, str]:
        """(nearer the client, nearer the server) addresses on the bypass link, without prefix lengths."""
        return self.link_ends(self.bypass_net)

    def router_addresses(self, router: int, hops: int) -> tuple[str, str]:
        """(eth0, eth1) addresses of router `router` (1-based) with their prefix lengths."""
        left_net = self.client_net if router == 1 else self.link_subnet(router - 1)
        right_net = self.server_net if router == hops else self.link_subnet(router)
        left = left_net.network_address + (1 if router == 1 else 2)
        right = right_net.network_address + 1
        return f"{left}/{left_net.prefixlen}", f"{right}/{right_net.prefixlen}"


IPV4 = Addressing("ip", "192.168.1.0/24", CLIENT_ADDRESS, "203.0.113.0/24", SERVER_ADDRESS,
                  lambda index: ipaddress.ip_network(f"{ROUTER_LINKS.network_address + 4 * (index - 1)}/30"),
                  "198.51.100.252/30", ("198.51.100.244/30", "198.51.100.248/30"), "192.168.3.0/24", "192.168.3.10",
                  "198.51.100.240/30")
IPV6 = Addressing("ip -6", "2001:db8:1::/64", "2001:db8:1::10", "2001:db8:113::/64", "2001:db8:113::10",
                  lambda index: ipaddress.ip_network(f"2001:db8:100:{index:x}::/64"), "2001:db8:100:ff::/64",
                  ("2001:db8:100:fd::/64", "2001:db8:100:fe::/64"), "2001:db8:3::/64", "2001:db8:3::10",
                  "2001:db8:100:fc::/64")

# Names the nodes resolve from their own hosts file (no name server is asked: each node's resolv.conf points
# at its own loopback, where none listens): the server by both its addresses, and by its IPv6 one alone.
DUAL_STACK_NAME = "server.tarnvale.test"
IPV6_ONLY_NAME = "server6.tarnvale.test"
NETNS_FILES = Path("/etc/netns")  # `ip netns exec` mounts the files of NETNS_FILES/NAME over /etc

# Namespaces are named tvl{owner pid}-{4 hex}-{node}; owner pid 0 marks a network made from the command line,
# which only `lab down` or `lab clean --all` removes.
NAME_PATTERN = re.compile(r"^tvl(\d+)-([0-9a-f]{4})-(\w+)$")

# The router beside r2 in a balanced network, and the branch the way back takes.
BRANCH_ROUTER = "r2b"
MAIN_BRANCH = "r2"
# The second client and its router, and the interface by which r2 reaches that router.
SECOND_CLIENT = "client2"
SECOND_CLIENT_ROUTER = "r1b"
SECOND_CLIENT_JOIN = Link("r2", "eth2")
# r1's balancer: a hash of the fields chosen (policy 3) from each packet's source and destination addresses,
# protocol, source and destination ports.
MULTIPATH_HASH_POLICY = 3
MULTIPATH_HASH_FIELDS = "0x0037"


def _with_prefix(address: str, net: ipaddress.IPv4Network | ipaddress.IPv6Network) -> str:
    return f"{address}/{net.prefixlen}"


def list_namespaces() -> list[str]:
    output = run(["ip", "netns", "list"])
    return [line.split()[0] for line in output.splitlines() if line.strip()]


def _process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def clean_leftovers(include_persistent: bool = False) -> list[str]:
    """Removes the namespaces of test networks whose owner process has ended (and, with
    `include_persistent`, those made from the command line). Returns the names removed."""
    removed = []
    for name in list_namespaces():
        match = NAME_PATTERN.match(name)
        if not match:
            continue
        owner = int(match.group(1))
        if (owner == 0 and include_persistent) or (owner != 0 and not _process_alive(owner)):
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
            shutil.rmtree(NETNS_FILES / name, ignore_errors=True)
            removed.append(name)
    return removed


class TestNetwork(PathConditions, NetworkChanges):
    """A client, `hops` routers in a chain and a server, each in its own namespace; with `bypass`, a direct
    link between that router's neighbours, which the path takes until `set_bypass(False)`; with `balanced`, a
    router r2b beside r2, over which r1 balances flows towards the server; with `second_client`, a second host
    client2 whose own router r1b joins r2.

    Use it as a context manager, or call `up()` and `down()`; `down()` always removes everything, also after a
    failure half way through `up()`.
    """

    __test__ = False  # not a pytest test class
    families = (IPV4, IPV6)

    def __init__(self, hops: int = 3, icmp_rate_limit: bool = False, persistent: bool = False,
                 prefix: Optional[str] = None, bypass: Optional[int] = None, balanced: bool = False,
                 second_client: bool = False):
        if not 1 <= hops <= 60:
            raise ValueError("hops must be between 1 and 60")
        if bypass is not None and not 2 <= bypass < hops:
            raise ValueError("the bypassed router must lie between two routers: r2 to r{hops - 1}")
        if balanced and hops < 3:
            raise ValueError("a balanced network needs three routers or more: r2b joins r1 to r3")
        if balanced and bypass is not None:
            raise ValueError("a network has a bypass or a balanced segment, not both: each takes r1's and r3's eth2")
        if second_client and hops < 2:
            raise ValueError("a second client joins r2: the network needs two routers or more")
        if second_client and bypass is not None:
            raise ValueError("a network has a bypass or a second client, not both: r2 joins r1b by its eth2")
        self.hops = hops
        self.icmp_rate_limit = icmp_rate_limit
        self.bypass = bypass
        self.balanced = balanced
        self.second_client = second_client
        self.bypassing = bypass is not None  # the path takes the bypass link
        owner = 0 if persistent else os.getpid()
        self.prefix = prefix or f"tvl{owner}-{secrets.token_hex(2)}"
        self._init_conditions()
        self._init_changes()

    # ---- names and addresses ------------------------------------------------

    @property
    def routers(self) -> list[str]:
        chain = [f"r{i}" for i in range(1, self.hops + 1)]
        chain = [*chain[:2], BRANCH_ROUTER, *chain[2:]] if self.balanced else chain
        return [*chain, SECOND_CLIENT_ROUTER] if self.second_client else chain

    @property
    def branches(self) -> tuple[str, ...]:
        """The routers at hop 2 that flows towards the server may take."""
        return (MAIN_BRANCH, BRANCH_ROUTER) if self.balanced else (MAIN_BRANCH,)

    @property
    def nodes(self) -> list[str]:
        return ["client", *self.routers, "server", *([SECOND_CLIENT] if self.second_client else [])]

    def links(self) -> list[tuple[Link, Link]]:
        """Every link as its two ends, nearer the client first: the chain, then the bypass or the branch."""
        chain = ["client", *(f"r{i}" for i in range(1, self.hops + 1)), "server"]
        links = [(Link(left, "eth0" if left == "client" else "eth1"), Link(right, "eth0"))
                 for left, right in zip(chain, chain[1:])]
        if self.bypass is not None:
            links.append((Link(f"r{self.bypass - 1}", "eth2"), Link(f"r{self.bypass + 1}", "eth2")))
        if self.balanced:
            links += [(Link("r1", "eth2"), Link(BRANCH_ROUTER, "eth0")),
                      (Link(BRANCH_ROUTER, "eth1"), Link("r3", "eth2"))]
        if self.second_client:
            links += [(Link(SECOND_CLIENT, "eth0"), Link(SECOND_CLIENT_ROUTER, "eth0")),
                      (Link(SECOND_CLIENT_ROUTER, "eth1"), SECOND_CLIENT_JOIN)]
        return links

    def namespace(self, node: str) -> str:
        if node not in self.nodes:
            raise ValueError(f"no node {node!r} in this network ({', '.join(self.nodes)})")
        return f"{self.prefix}-{node}"

    @property
    def client_address(self) -> str:
        """The client's IPv4 address: CLIENT_ADDRESS until a change gives it another."""
        return self.client_side(IPV4).address

    @property
    def server_address(self) -> str:
        return SERVER_ADDRESS

    @property
    def client2_address(self) -> str:
        return IPV4.client2

    @property
    def client_address_v6(self) -> str:
        return self.client_side(IPV6).address

    @property
    def server_address_v6(self) -> str:
        return IPV6.server

    def _link_subnet(self, index: int) -> ipaddress.IPv4Network:
        """The /30 between router `index` and router `index + 1` (1-based)."""
        return IPV4.link_subnet(index)

    def router_addresses(self, router: int, family: Addressing = IPV4) -> tuple[str, str]:
        """(eth0, eth1) addresses of router `router` (1-based)."""
        left, right = family.router_addresses(router, self.hops)
        return left.split("/")[0], right.split("/")[0]

    def hop_addresses(self, family: Addressing = IPV4, branch: str = MAIN_BRANCH) -> list[str]:
        """The address each hop answers from, in path order: every router's eth0, then the server. While the
        path takes the bypass, the bypassed router is left out and the next one answers from its eth2. On the
        branch through r2b, hop 2 is r2b's eth0 and hop 3 r3's eth2."""
        if branch not in self.branches:
            raise ValueError(f"no branch {branch!r} in this network ({', '.join(self.branches)})")
        if branch == BRANCH_ROUTER:
            into_branch, out_of_branch = family.branch_nets
            main = self.hop_addresses(family)
            return [main[0], family.link_ends(into_branch)[1], family.link_ends(out_of_branch)[1], *main[3:]]
        addresses = []
        for index in range(1, self.hops + 1):
            if self.bypassing and index == self.bypass:
                continue
            if self.bypassing and index == self.bypass + 1:
                addresses.append(family.bypass_addresses()[1])
            elif index == 1:
                addresses.append(self.client_side(family).gateway)
            else:
                addresses.append(self.router_addresses(index, family)[0])
        return addresses + [family.server]

    def hop_addresses_v6(self, branch: str = MAIN_BRANCH) -> list[str]:
        return self.hop_addresses(IPV6, branch)

    def client2_hop_addresses(self, family: Addressing = IPV4) -> list[str]:
        """The address each hop answers the second client from: r1b, r2's eth2, then the client's path from r3."""
        if not self.second_client:
            raise ValueError("this network has no second client")
        return [family.client2_gateway, family.link_ends(family.client2_link_net)[1],
                *self.hop_addresses(family)[2:]]

    # ---- building -----------------------------------------------------------

    def _family_script(self, node: str, family: Addressing) -> list[str]:
        """The node's addresses and routes in one family."""
        addresses, routes = self._family_plan(node, family)
        script = [f"{family.ip} addr add {address} dev {interface}" for interface, address in addresses]
        return script + [f"{family.ip} route add {route}" for route in routes]

    def _family_plan(self, node: str, family: Addressing) -> tuple[list[tuple[str, str]], list[str]]:
        """The node's (interface, address with prefix length) pairs and routes in one family; the client's as
        its latest change left them."""
        if node == "client":
            side = self.client_side(family)
            addresses = [(side.interface, f"{side.address}/{side.net.prefixlen}")]
            routes = [f"default via {side.gateway} dev {side.interface}"]
        elif node == "server":
            addresses = [("eth0", f"{family.server}/{family.server_net.prefixlen}")]
            routes = [f"default via {self.router_addresses(self.hops, family)[1]}"]
        elif node == SECOND_CLIENT:
            addresses = [("eth0", _with_prefix(family.client2, family.client2_net))]
            routes = [f"default via {family.client2_gateway} dev eth0"]
        elif node == SECOND_CLIENT_ROUTER:
            own, r2 = family.link_ends(family.client2_link_net)
            addresses = [("eth0", _with_prefix(family.client2_gateway, family.client2_net)),
                         ("eth1", _with_prefix(own, family.client2_link_net))]
            routes = [f"default via {r2}"]
        elif node == BRANCH_ROUTER:
            into_branch, out_of_branch = family.branch_nets
            addresses = [("eth0", _with_prefix(family.link_ends(into_branch)[1], into_branch)),
                         ("eth1", _with_prefix(family.link_ends(out_of_branch)[0], out_of_branch))]
            routes = self._branch_router_routes(family)
        else:
            index = int(node[1:])
            left, right = family.router_addresses(index, self.hops)
            addresses = [("eth0", left), ("eth1", right)]
            if self.bypass is not None and index in (self.bypass - 1, self.bypass + 1):
                near_client, near_server = family.bypass_addresses()
                own = near_client if index == self.bypass - 1 else near_server
                addresses.append(("eth2", f"{own}/{family.bypass_net.prefixlen}"))
            if self.balanced and index in (1, 3):
                into_branch, out_of_branch = family.branch_nets
                own = (_with_prefix(family.link_ends(into_branch)[0], into_branch) if index == 1
                       else _with_prefix(family.link_ends(out_of_branch)[1], out_of_branch))
                addresses.append(("eth2", own))
            routes = self._router_routes(index, family)
            if self.second_client:
                addresses += self._client2_join(index, family)
                routes += self._routes_to_client2(index, family)
        return (addresses + self._client_link_addresses(node, family),
                routes + self._routes_to_second_client_net(family, routes))

    def _router_routes(self, index: int, family: Addressing) -> list[str]:
        """Router `index`'s routes: networks behind the previous router go left, those behind the next router
        go right; over the bypass link where the path takes it."""
        routes = []
        if index > 1:
            previous = self.router_addresses(index - 1, family)[1]
            if self.bypassing and index == self.bypass + 1:
                previous = family.bypass_addresses()[0]
            routes.append(f"{family.client_net} via {previous}")
            routes += [f"{family.link_subnet(link)} via {previous}" for link in range(1, index - 1)]
            if self.bypass is not None and (index == self.bypass or index > self.bypass + 1):
                routes.append(f"{family.bypass_net} via {previous}")
        if index < self.hops:
            following = self.router_addresses(index + 1, family)[0]
            if self.bypassing and index == self.bypass - 1:
                following = family.bypass_addresses()[1]
            towards_server = f"via {following}"
            # r1 of a balanced network spreads what lies behind r3 (the server, the links from r3 on) over both
            # branches; r2's own link to r3 it reaches over r2.
            behind_branches = towards_server
            if self.balanced and index == 1:
                beside = family.link_ends(family.branch_nets[0])[1]
                behind_branches = f"nexthop via {following} nexthop via {beside}"
            routes.append(f"{family.server_net} {behind_branches}")
            routes += [f"{family.link_subnet(link)} {behind_branches if link >= 3 else towards_server}"
                       for link in range(index + 1, self.hops)]
            if self.bypass is not None and index < self.bypass - 1:
                routes.append(f"{family.bypass_net} via {following}")
        if self.balanced:
            routes += self._routes_to_branch_links(index, family)
        return routes

    @staticmethod
    def _client2_join(index: int, family: Addressing) -> list[tuple[str, str]]:
        """r2's address on its link to r1b."""
        if index != 2:
            return []
        return [(SECOND_CLIENT_JOIN.interface, _with_prefix(family.link_ends(family.client2_link_net)[1],
                                                            family.client2_link_net))]

    def _routes_to_client2(self, index: int, family: Addressing) -> list[str]:
        """Router `index`'s routes back to the second client's networks: r2's over r1b, the later routers' towards
        r2, as to the client's."""
        if index == 1:
            return []
        if index == 2:
            return [f"{family.client2_net} via {family.link_ends(family.client2_link_net)[0]}"]
        previous = self.router_addresses(index - 1, family)[1]
        return [f"{family.client2_net} via {previous}", f"{family.client2_link_net} via {previous}"]

    def _routes_to_branch_links(self, index: int, family: Addressing) -> list[str]:
        """Router `index`'s routes to those links of r2b it is not on itself."""
        into_branch, out_of_branch = family.branch_nets
        if index == 1:
            return [f"{out_of_branch} via {family.link_ends(into_branch)[1]}"]
        if index == 3:
            return [f"{into_branch} via {family.link_ends(out_of_branch)[0]}"]
        previous = self.router_addresses(index - 1, family)[1]
        if index == 2:
            return [f"{into_branch} via {previous}", f"{out_of_branch} via {self.router_addresses(3, family)[0]}"]
        return [f"{net} via {previous}" for net in family.branch_nets]

    def _branch_router_routes(self, family: Addressing) -> list[str]:
        """r2b's routes, as r2's: the client's side over r1, the server's side over r3."""
        into_branch, out_of_branch = family.branch_nets
        r1, r3 = family.link_ends(into_branch)[0], family.link_ends(out_of_branch)[1]
        return [f"{family.client_net} via {r1}", f"{family.link_subnet(1)} via {r1}", f"{family.server_net} via {r3}",
                *(f"{family.link_subnet(link)} via {r3}" for link in range(2, self.hops))]

    def set_bypass(self, bypassing: bool) -> None:
        """Routes the path over the bypass link (True) or through the bypassed router (False), both ways."""
        if self.bypass is None:
            raise ValueError("this network has no bypass")
        self.bypassing = bypassing
        for index in (self.bypass - 1, self.bypass + 1):
            script = [f"{family.ip} route replace {route}" for family in (IPV4, IPV6)
                      for route in self._router_routes(index, family)]
            self.run(f"r{index}", ["sh", "-ec", "\n".join(script)])

    def _node_script(self, node: str) -> list[str]:
        """Commands run inside the node's namespace once its links exist."""
        interfaces = sorted({end.interface for link in self.links() for end in link if end.node == node})
        # Every address is unique, so IPv6 need not spend a second or two detecting duplicates before it
        # uses one (link-local ones included, which neighbour discovery needs).
        script = [f"echo 0 > /proc/sys/net/ipv6/conf/{interface}/accept_dad" for interface in interfaces]
        script += ["ip link set lo up"] + [f"ip link set {interface} up" for interface in interfaces]
        script += self._family_script(node, IPV4) + self._family_script(node, IPV6)
        sysctl = "/proc/sys/net/ipv4"
        if node.startswith("r"):
            script += [f"echo 1 > {sysctl}/ip_forward", "echo 1 > /proc/sys/net/ipv6/conf/all/forwarding"]
        if self.balanced:
            script += self._balancing_script(node, interfaces)
        if not self.icmp_rate_limit:
            script += [f"echo 0 > {sysctl}/icmp_ratelimit", f"echo 100000 > {sysctl}/icmp_msgs_per_sec",
                       f"echo 10000 > {sysctl}/icmp_msgs_burst", "echo 0 > /proc/sys/net/ipv6/icmp/ratelimit"]
        # Loss on a link is dropped where the link delivers, before anything else sees the packet: that
        # takes packets the sender forwards and those it makes itself (its ICMP errors, a probe), and the
        # sender notices nothing, as on a real wire. (Dropping on the way out would hand the sender's own
        # packets an EPERM from sendto.)
        script.append(f"nft add table inet {NFT_TABLE}")
        script.append(f"nft add chain inet {NFT_TABLE} wire_loss "
                      "'{ type filter hook prerouting priority -300; policy accept; }'")
        script.append(f"nft add chain inet {NFT_TABLE} ingress "
                      "'{ type filter hook prerouting priority 0; policy accept; }'")
        script.append(f"nft add chain inet {NFT_TABLE} own_answers "
                      "'{ type filter hook output priority 0; policy accept; }'")
        return script

    @staticmethod
    def _balancing_script(node: str, interfaces: Sequence[str]) -> list[str]:
        """What a balanced network's routers need beyond the chain's settings."""
        if not node.startswith("r"):
            return []
        sysctl = "/proc/sys/net/ipv4"
        # r3 takes the client's flows in by either branch but routes the client over r2, and r1 takes r3's
        # answers to probes that crossed r2b in from r2: neither may check the way back.
        script = [f"echo 0 > {sysctl}/conf/{name}/rp_filter" for name in ("all", *interfaces)]
        if node == "r1":
            # Hash addresses, protocol and ports (fields 0x37) of every packet. Policy 1 would hash the same
            # fields but take instead a hash the packet already carries, and one made by a connected socket in
            # the client (a random one of its own) crosses the veth with it: each socket of one flow would
            # draw its branch at random, as no router on a wire does.
            script += [f"echo {MULTIPATH_HASH_POLICY} > /proc/sys/net/{family}/fib_multipath_hash_policy"
                       for family in ("ipv4", "ipv6")]
            script += [f"echo {MULTIPATH_HASH_FIELDS} > /proc/sys/net/{family}/fib_multipath_hash_fields"
                       for family in ("ipv4", "ipv6")]
        if node == "r3":
            # Answer from the interface the probe came in by, as IPv6 does, not from the one towards the client.
            script.append(f"echo 1 > {sysctl}/icmp_errors_use_inbound_ifaddr")
        return script

    def _write_name_files(self, node: str) -> None:
        files = NETNS_FILES / self.namespace(node)
        files.mkdir(parents=True, exist_ok=True)
        (files / "resolv.conf").write_text("nameserver 127.0.0.1\n")
        (files / "hosts").write_text("127.0.0.1 localhost\n::1 localhost\n"
                                     f"{IPV4.server} {DUAL_STACK_NAME}\n{IPV6.server} {DUAL_STACK_NAME}\n"
                                     f"{IPV6.server} {IPV6_ONLY_NAME}\n")

    def up(self) -> "TestNetwork":
        try:
            for node in self.nodes:
                run(["ip", "netns", "add", self.namespace(node)])
                self._write_name_files(node)
            for near_client, near_server in self.links():
                run(["ip", "link", "add", near_client.interface, "netns", self.namespace(near_client.node),
                     "type", "veth", "peer", "name", near_server.interface, "netns",
                     self.namespace(near_server.node)])
            processes = [
                subprocess.Popen(["ip", "netns", "exec", self.namespace(node), "sh", "-ec",
                                  "\n".join(self._node_script(node))],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for node in self.nodes
            ]
            for node, process in zip(self.nodes, processes):
                _, stderr = process.communicate()
                if process.returncode != 0:
                    raise NetworkError(f"setting up {node} failed: {stderr.strip()}")
        except BaseException:
            self.down()
            raise
        return self

    def down(self) -> None:
        """Stops ramps and delayers, removes every namespace (with its links, qdiscs and nftables tables) and
        forgets the changes made to the client's attachment."""
        self._end_conditions()
        self._end_changes()
        existing = set(list_namespaces())
        for node in self.nodes:
            name = self.namespace(node)
            if name in existing:
                subprocess.run(["ip", "netns", "del", name], capture_output=True)
            shutil.rmtree(NETNS_FILES / name, ignore_errors=True)

    def __enter__(self) -> "TestNetwork":
        return self.up()

    def __exit__(self, *exc_info) -> None:
        self.down()

    # ---- running things -----------------------------------------------------

    def command(self, node: str, command: Sequence[str]) -> list[str]:
        """The command line that runs `command` inside the node's namespace."""
        return ["ip", "netns", "exec", self.namespace(node), *command]

    def run(self, node: str, command: Sequence[str], check: bool = True,
            timeout: Optional[float] = 60) -> subprocess.CompletedProcess:
        result = subprocess.run(self.command(node, command), capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise NetworkError(f"{shlex.join(command)} in {node} failed: {result.stderr.strip()}")
        return result

    def popen(self, node: str, command: Sequence[str], **kwargs) -> subprocess.Popen:
        return subprocess.Popen(self.command(node, command), **kwargs)
