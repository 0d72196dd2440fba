#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "packets/ip_address.hpp"
#include "packets/tcp_segment.hpp"

// The datagrams a simulated node sends back to the host, in the family of the
// datagram they answer.
namespace tarnvale::sim {

// ICMP's or ICMPv6's error about a probe: Time Exceeded from a router, Port
// Unreachable from the target; it quotes the probe as routers do.
std::vector<std::uint8_t> icmp_error_answer(const packets::IpAddress& from, const packets::IpAddress& to,
                                            bool at_target, std::span<const std::uint8_t> probe);

// The SYN a datagram carries, if it is a TCP segment with SYN set and ACK clear.
std::optional<packets::TcpSegment> read_tcp_syn(std::span<const std::uint8_t> datagram);

// A listening port's SYN-ACK (`open`) or a closed port's reset, as a host's
// kernel answers the SYN.
std::vector<std::uint8_t> tcp_answer(const packets::TcpSegment& syn, bool open);

}  // namespace tarnvale::sim
