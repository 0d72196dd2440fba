#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "packets/ipv4.hpp"

// The pinger's ICMP echo request, and the test of what comes back.
namespace tarnvale::engines::hop {

std::array<std::uint8_t, 8> build_echo_request(std::uint16_t identifier, std::uint16_t sequence);

// Whether a datagram received on the raw ICMP socket (IPv4 header first) is the
// echo reply to our request with this identifier and sequence from this router.
bool is_echo_reply(std::span<const std::uint8_t> datagram, packets::Ipv4 from, std::uint16_t identifier,
                   std::uint16_t sequence, packets::Ipv4 router);

}  // namespace tarnvale::engines::hop
