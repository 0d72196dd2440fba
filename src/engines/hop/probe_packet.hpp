#pragma once

#include <array>
#include <cstdint>

#include "packets/ipv4.hpp"

namespace tarnvale::engines::hop {

inline constexpr std::size_t ttl_probe_size = 28;

constexpr std::uint16_t probe_source_port(std::uint16_t probe_id) {
    return static_cast<std::uint16_t>(probe_id + 49152);
}

constexpr std::uint16_t probe_destination_port(std::uint16_t probe_id) {
    return static_cast<std::uint16_t>(33434 + probe_id % 100);
}

// The TTL-limited UDP probe: a 20-byte IPv4 header (don't fragment, the probe id
// as identification) and an 8-byte UDP header with no payload.
std::array<std::uint8_t, ttl_probe_size> build_ttl_probe(std::uint16_t probe_id, std::uint8_t ttl,
                                                         packets::Ipv4 source, packets::Ipv4 target);

}  // namespace tarnvale::engines::hop
