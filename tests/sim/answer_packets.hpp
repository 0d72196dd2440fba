#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "packets/ip_address.hpp"

// The datagrams a simulated node sends back to the host, in the family of the
// datagram they answer.
namespace tarnvale::sim {

// ICMP's or ICMPv6's error about a probe: Time Exceeded from a router, Port
// Unreachable from the target; it quotes the probe as routers do.
std::vector<std::uint8_t> icmp_error_answer(const packets::IpAddress& from, const packets::IpAddress& to,
                                            bool at_target, std::span<const std::uint8_t> probe);

// What a TCP SYN says that its answer repeats.
struct TcpSyn {
    std::uint16_t source_port;
    std::uint16_t destination_port;
    std::uint32_t sequence;
};

// The SYN a datagram carries, if it is a TCP segment with SYN set and ACK clear.
std::optional<TcpSyn> read_tcp_syn(std::span<const std::uint8_t> datagram);

// A listening port's SYN-ACK (`open`) or a closed port's reset, from `from` to
// `to`, as a host answers the SYN.
std::vector<std::uint8_t> tcp_answer(const packets::IpAddress& from, const packets::IpAddress& to, const TcpSyn& syn,
                                     bool open);

}  // namespace tarnvale::sim
