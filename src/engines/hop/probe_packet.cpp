#include "engines/hop/probe_packet.hpp"

#include <span>

namespace tarnvale::engines::hop {

std::array<std::uint8_t, ttl_probe_size> build_ttl_probe(std::uint16_t probe_id, std::uint8_t ttl,
                                                         packets::Ipv4 source, packets::Ipv4 target) {
    std::array<std::uint8_t, ttl_probe_size> probe{};
    const std::span<std::uint8_t, ttl_probe_size> bytes(probe);
    packets::write_ipv4_header(bytes.first<20>(), {ttl_probe_size, probe_id, packets::dont_fragment, ttl,
                                                   packets::protocol_udp, source, target});
    packets::write_udp_header(bytes.subspan<20, 8>(), probe_source_port(probe_id), probe_destination_port(probe_id),
                              8);
    return probe;
}

}  // namespace tarnvale::engines::hop
