#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "packets/ip_address.hpp"
#include "platform/handle.hpp"

namespace tarnvale::platform {

// An owned socket, closed when destroyed. Sockets made here are not inherited by child processes.
using Socket = OwnedSocket;

enum class Blocking { yes, no };

// A raw IPv4 socket with protocol UDP whose sender supplies the whole IPv4 header.
Socket open_raw_udp(Blocking blocking, std::error_code& error);

// A raw IPv6 socket whose sender supplies the whole IPv6 header.
Socket open_raw_ipv6(Blocking blocking, std::error_code& error);

// A raw ICMP socket; the system adds the IPv4 header to what is sent, and every
// received datagram starts with its IPv4 header.
Socket open_raw_icmp(std::error_code& error);

// A raw ICMPv6 socket; the system adds the IPv6 header and the ICMPv6 checksum
// to what is sent, and every received message starts with its ICMPv6 header.
Socket open_raw_icmpv6(std::error_code& error);

// Asks the system to hand this ICMP or ICMPv6 socket echo replies only (a raw
// socket otherwise receives every such message reaching the host). Best effort.
void receive_only_echo_replies(const Socket& socket, bool ipv6);

// Sends to the destination, whose family must be the socket's. The port goes
// into an IPv4 socket address only: a raw IPv6 socket reads that field as a
// protocol number and refuses one above 255.
std::error_code send_datagram(const Socket& socket, std::span<const std::uint8_t> bytes,
                              const packets::IpAddress& destination, std::uint16_t port);

struct Received {
    std::size_t size;
    packets::IpAddress source;
};

// Waits up to `timeout` for one datagram; nothing on timeout or failure (then `error` is set).
std::optional<Received> receive_datagram(const Socket& socket, std::span<std::uint8_t> buffer,
                                         std::chrono::milliseconds timeout, std::error_code& error);

// The local address the system would send from to reach `target` (a UDP socket
// of the target's family bound to the unspecified address, port 0, and
// connected to the target at the traceroute base port). The family's loopback
// address when the address cannot be read. `error` is set when the lookup
// socket cannot be created or bound, or cannot be connected: the system has no
// route toward the target.
packets::IpAddress source_address_for(const packets::IpAddress& target, std::error_code& error);

// A UDP or TCP port of the system's choosing, held by a socket bound to it in
// the family's unspecified address: while the socket is open no other program
// on the host gets the port, so packets sent from it through a raw socket, and
// the answers to them, are told apart from another program's. A bound TCP
// socket that neither listens nor connects takes no segment: the system
// answers a SYN-ACK to that port with a reset, so no connection is made.
struct ReservedPort {
    Socket socket;
    std::uint16_t port = 0;
};
enum class Transport { udp, tcp };
ReservedPort reserve_port(Transport transport, bool ipv6, std::error_code& error);

// Whether a raw socket of this system may send TCP segments (Windows refuses them).
bool raw_sockets_send_tcp();

// An IPv4 or IPv6 address as is; otherwise the first IPv4 address the system's
// resolver gives for the name, or its first IPv6 address when it has no IPv4 one.
std::optional<packets::IpAddress> resolve_address(const std::string& target);

}  // namespace tarnvale::platform
