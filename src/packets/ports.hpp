#pragma once

#include <cstdint>

// Well-known port numbers the probe's packets use.
namespace tarnvale::packets {

// The first destination port of traceroute-style UDP probes: no service listens
// there, so a target answers with Port Unreachable.
inline constexpr std::uint16_t traceroute_base_port = 33434;
// The first port of the dynamic range (RFC 6335), which no service is assigned.
inline constexpr std::uint16_t dynamic_ports_start = 49152;

}  // namespace tarnvale::packets
