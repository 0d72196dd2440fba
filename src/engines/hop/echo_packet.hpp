#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "packets/ip_address.hpp"

// The pinger's echo request, and the test of what comes back.
namespace tarnvale::engines::hop {

// An ICMP echo request, or an ICMPv6 one toward an IPv6 router, whose checksum
// covers the addresses too. No payload.
std::vector<std::uint8_t> build_echo_request(std::uint16_t identifier, std::uint16_t sequence,
                                             const packets::IpAddress& source, const packets::IpAddress& router);

// Whether a datagram received on the raw ICMP socket (IPv4 header first) or,
// for an IPv6 router, on the raw ICMPv6 socket (ICMPv6 header first), is the
// echo reply to our request with this identifier and sequence from this router.
bool is_echo_reply(std::span<const std::uint8_t> datagram, const packets::IpAddress& from, std::uint16_t identifier,
                   std::uint16_t sequence, const packets::IpAddress& router);

}  // namespace tarnvale::engines::hop
