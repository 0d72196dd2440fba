"""Changes that a host running for weeks meets: a link that goes down and comes back, the client's address renewed
as another one, the client moving to another interface on another subnet (a laptop going from wireless to a
cable), its default routes withdrawn and given back. Every change leaves the network consistent: the client
reaches the server afterwards in both families.

A mixin of TestNetwork, which gives it `families`, `routers`, `namespace`, `run`, `router_addresses` and
`_family_plan` (each node's addresses and routes, the client's taken from here); the state it keeps, where the
client attaches to r1, is made by `_init_changes` and forgotten by `_end_changes`.
"""

from __future__ import annotations

import ipaddress
import time
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

from .conditions import Link, NetworkError, run

if TYPE_CHECKING:
    from .network import Addressing

# The subnet of the client's second link to r1, by the family's ip(8) command: (subnet, client, r1).
SECOND_CLIENT_NETS = {
    "ip": ("192.168.2.0/24", "192.168.2.10", "192.168.2.1"),
    "ip -6": ("2001:db8:2::/64", "2001:db8:2::10", "2001:db8:2::1"),
}
# The interfaces of the first and of the second link, at the client and at r1.
FIRST_LINK = ("eth0", "eth0")
SECOND_LINK = ("eth1", "eth3")


@dataclass(frozen=True)
class ClientSide:
    """Where the client attaches to r1 in one family: its interface and address on the link's subnet, and r1's
    address and interface there (the client's gateway)."""

    interface: str
    address: str
    net: ipaddress.IPv4Network | ipaddress.IPv6Network
    gateway: str
    router_interface: str


class NetworkChanges:
    def _init_changes(self) -> None:
        self._client_sides: dict[str, ClientSide] = {}  # by family.ip, for the families a change has moved
        # Set once the client has been on the second subnet: the routers behind r1 route it from then on.
        self._second_net_routed = False

    def _end_changes(self) -> None:
        self._init_changes()

    def client_side(self, family: "Addressing") -> ClientSide:
        """The client's attachment in `family` as the latest change left it."""
        return self._client_sides.get(family.ip) or self._first_side(family)

    def _first_side(self, family: "Addressing") -> ClientSide:
        return ClientSide(FIRST_LINK[0], family.client, family.client_net, self.router_addresses(1, family)[0],
                          FIRST_LINK[1])

    @staticmethod
    def _second_side(family: "Addressing") -> ClientSide:
        net, address, gateway = SECOND_CLIENT_NETS[family.ip]
        return ClientSide(SECOND_LINK[0], address, ipaddress.ip_network(net), gateway, SECOND_LINK[1])

    def _family(self, version: int) -> "Addressing":
        if version not in (4, 6):
            raise ValueError(f"an address family is 4 or 6, not {version!r}")
        return self.families[0 if version == 4 else 1]

    def _client_link_addresses(self, node: str, family: "Addressing") -> list[tuple[str, str]]:
        """r1's address on the client's second link while the client is on it (the first link's is part of r1's
        setup)."""
        side = self.client_side(family)
        if node != "r1" or side.interface == FIRST_LINK[0]:
            return []
        return [(side.router_interface, f"{side.gateway}/{side.net.prefixlen}")]

    def _routes_to_second_client_net(self, family: "Addressing", routes: list[str]) -> list[str]:
        """Once the client has been on the second subnet, a router reaches it the way it reaches the first."""
        if not self._second_net_routed:
            return []
        first = f"{family.client_net} "
        second = SECOND_CLIENT_NETS[family.ip][0]
        return [f"{second} {route[len(first):]}" for route in routes if route.startswith(first)]

    # ---- the knobs ----------------------------------------------------------

    def set_link_state(self, link: Link | str, up: bool) -> None:
        """Takes `link.node`'s interface down, or brings it up again and gives the node back what the kernel
        removed while it was down (IPv4 routes through it, IPv6 addresses and routes on it): its addresses on the
        interface and its routes, as its setup or the client's latest change made them. The other end of the link
        keeps its own (it only loses its carrier)."""
        link = Link.parse(link) if isinstance(link, str) else link
        self.run(link.node, ["ip", "link", "set", link.interface, "up" if up else "down"])
        if not up:
            return
        script = []
        for family in self.families:
            addresses, routes = self._family_plan(link.node, family)
            script += [f"{family.ip} addr replace {address} dev {interface}" for interface, address in addresses
                       if interface == link.interface]
            script += [f"{family.ip} route replace {route}" for route in routes]
        self.run(link.node, ["sh", "-ec", "\n".join(script)])

    def renew_client_address(self, version: int = 4, lapse: float = 0.0) -> str:
        """Gives the client the next address of its subnet in one family, as a DHCP server handing out a new
        lease: the old address goes (with the last IPv4 one the kernel removes the routes through the interface),
        `lapse` seconds pass without an address, then the new one comes and the default route is given back.
        Returns the new address."""
        family = self._family(version)
        side = self.client_side(family)
        new = ipaddress.ip_address(side.address) + 1
        if str(new) == side.gateway:
            new += 1
        if new not in side.net or new == side.net.broadcast_address:
            raise NetworkError(f"no address left after {side.address} in {side.net}")
        self.run("client", family.ip.split() + ["addr", "del", f"{side.address}/{side.net.prefixlen}",
                                                "dev", side.interface])
        time.sleep(lapse)
        self._client_sides[family.ip] = replace(side, address=str(new))
        self.run("client", ["sh", "-ec", f"{family.ip} addr add {new}/{side.net.prefixlen} dev {side.interface}\n"
                                         f"{family.ip} route replace default via {side.gateway} dev {side.interface}"])
        return str(new)

    def swap_client_device(self, keep_old: bool = False) -> str:
        """Moves the client to a new link to r1 on another subnet in both families, as a laptop going from
        wireless to a cable: the new link comes up with its addresses, r1 routes back to the new subnet (and the
        routers behind it towards r1), the new interface takes the default routes, and only then is the old
        interface deleted, so the client never lacks a route. Called again, it moves the client back to a new
        link on the network's first subnet. With `keep_old` the old interface stays up with its addresses, as
        the wireless link of a laptop plugged into a cable does (the default route alone moves); it cannot be
        moved back then. Returns the client's new interface."""
        old = {family.ip: self.client_side(family) for family in self.families}
        moving_to_second = old["ip"].interface == FIRST_LINK[0]
        new = {family.ip: self._second_side(family) if moving_to_second else self._first_side(family)
               for family in self.families}
        interface, router_interface = new["ip"].interface, new["ip"].router_interface
        run(["ip", "link", "add", interface, "netns", self.namespace("client"), "type", "veth", "peer", "name",
             router_interface, "netns", self.namespace("r1")])
        for node, own in (("client", interface), ("r1", router_interface)):
            # As at setup: no duplicate detection, so that the IPv6 addresses are usable at once.
            script = [f"echo 0 > /proc/sys/net/ipv6/conf/{own}/accept_dad", f"ip link set {own} up"]
            for family in self.families:
                side = new[family.ip]
                address = side.address if node == "client" else side.gateway
                script.append(f"{family.ip} addr add {address}/{side.net.prefixlen} dev {own}")
            self.run(node, ["sh", "-ec", "\n".join(script)])
        self._client_sides = new
        if moving_to_second:
            self._second_net_routed = True
            for router in self.routers:
                script = [f"{family.ip} route replace {route}" for family in self.families
                          for route in self._family_plan(router, family)[1]
                          if route.startswith(f"{new[family.ip].net} ")]
                if script:
                    self.run(router, ["sh", "-ec", "\n".join(script)])
        self.run("client", ["sh", "-ec", "\n".join(
            f"{family.ip} route replace default via {new[family.ip].gateway} dev {interface}"
            for family in self.families)])
        if not keep_old:
            self.run("client", ["ip", "link", "del", old["ip"].interface])
        return interface

    def set_client_route(self, present: bool) -> None:
        """Withdraws the client's default routes in both families (False), leaving its addresses, as a host
        whose gateway went away; True gives them back."""
        script = []
        for family in self.families:
            side = self.client_side(family)
            script.append(f"{family.ip} route replace default via {side.gateway} dev {side.interface}" if present
                          else f"{family.ip} route flush exact default")
        self.run("client", ["sh", "-ec", "\n".join(script)])
