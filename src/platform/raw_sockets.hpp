#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "packets/ipv4.hpp"
#include "platform/handle.hpp"

namespace tarnvale::platform {

// An owned socket, closed when destroyed. Sockets made here are not inherited by child processes.
using Socket = OwnedSocket;

enum class Blocking { yes, no };

// A raw IPv4 socket with protocol UDP whose sender supplies the whole IPv4 header.
Socket open_raw_udp(Blocking blocking, std::error_code& error);

// A raw ICMP socket; the system adds the IPv4 header to what is sent, and every
// received datagram starts with its IPv4 header.
Socket open_raw_icmp(std::error_code& error);

// Asks the system to hand this ICMP socket echo replies only (a raw ICMP socket
// otherwise receives every ICMP message reaching the host). Best effort.
void receive_only_echo_replies(const Socket& socket);

std::error_code send_datagram(const Socket& socket, std::span<const std::uint8_t> bytes, packets::Ipv4 destination,
                              std::uint16_t port);

struct Received {
    std::size_t size;
    packets::Ipv4 source;
};

// Waits up to `timeout` for one datagram; nothing on timeout or failure (then `error` is set).
std::optional<Received> receive_datagram(const Socket& socket, std::span<std::uint8_t> buffer,
                                         std::chrono::milliseconds timeout, std::error_code& error);

// The local address the system would send from to reach `target` (a UDP socket
// bound to 0.0.0.0:0 and connected to target:33434; a failed connect leaves the
// unconnected address 0.0.0.0). 127.0.0.1 when the address cannot be read.
// `bind_error` is set when the lookup socket cannot be created or bound.
packets::Ipv4 source_address_for(packets::Ipv4 target, std::error_code& bind_error);

// A dotted IPv4 address as is; otherwise the first IPv4 address the system's
// resolver gives for the name.
std::optional<packets::Ipv4> resolve_ipv4(const std::string& target);

}  // namespace tarnvale::platform
