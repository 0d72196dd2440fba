#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "packets/ip_address.hpp"
#include "packets/ports.hpp"
#include "packets/udp_datagram.hpp"

namespace tarnvale::engines::hop {

inline constexpr std::size_t ttl_probe_size = packets::udp_datagram_size(packets::IpFamily::v4, 0);
inline constexpr std::size_t ttl_probe_size_ipv6 = packets::udp_datagram_size(packets::IpFamily::v6, 0);
// Probes go to this many destination ports in turn, from the traceroute base port on.
inline constexpr std::uint16_t probe_destination_ports = 100;

constexpr std::uint16_t probe_source_port(std::uint16_t probe_id) {
    return static_cast<std::uint16_t>(probe_id + packets::dynamic_ports_start);
}

constexpr std::uint16_t probe_destination_port(std::uint16_t probe_id) {
    return static_cast<std::uint16_t>(packets::traceroute_base_port + probe_id % probe_destination_ports);
}

// The probe a UDP header with these ports belongs to, if any: over IPv6, which
// has no identification field, the source port alone names the probe.
constexpr std::optional<std::uint16_t> probe_id_of_ports(std::uint16_t source_port, std::uint16_t destination_port) {
    const auto probe_id = static_cast<std::uint16_t>(source_port - packets::dynamic_ports_start);
    if (probe_destination_port(probe_id) != destination_port) {
        return std::nullopt;
    }
    return probe_id;
}

// The target's port that TCP probes ask: the one that servers most often
// listen on; a closed port's reset answers as well.
inline constexpr std::uint16_t target_tcp_port = 443;
// As far as the host's own TCP sends: a route that grows by a hop or two
// loses none of them.
inline constexpr std::uint8_t tcp_probe_ttl = 64;

// A TCP SYN to the target's port from the engine's own TCP port, which the
// target's kernel answers (with a SYN-ACK or a reset that acknowledges the
// probe id as its sequence number) under no limit on ICMP. It goes as far as
// `ttl`; the host's kernel resets the half-open connection a SYN-ACK offers.
std::vector<std::uint8_t> build_tcp_probe(std::uint16_t probe_id, std::uint8_t ttl, std::uint16_t source_port,
                                          const packets::IpAddress& source, const packets::IpAddress& target);

// The TTL-limited UDP probe with no payload, in the target's family. IPv4: a
// 20-byte header (don't fragment, the probe id as identification) and an
// 8-byte UDP header with checksum 0. IPv6: a 40-byte header with the TTL as its
// hop limit and the same UDP header, whose checksum IPv6 requires.
std::vector<std::uint8_t> build_ttl_probe(std::uint16_t probe_id, std::uint8_t ttl, const packets::IpAddress& source,
                                          const packets::IpAddress& target);

}  // namespace tarnvale::engines::hop
