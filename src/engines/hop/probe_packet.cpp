#include "engines/hop/probe_packet.hpp"

#include <span>

#include "packets/ipv4.hpp"
#include "packets/ipv6.hpp"

namespace tarnvale::engines::hop {

std::vector<std::uint8_t> build_ttl_probe(std::uint16_t probe_id, std::uint8_t ttl, const packets::IpAddress& source,
                                          const packets::IpAddress& target) {
    constexpr std::uint16_t udp_length = 8;
    if (target.is_v4()) {
        std::vector<std::uint8_t> probe(ttl_probe_size, 0);
        const std::span<std::uint8_t, ttl_probe_size> bytes(probe.data(), ttl_probe_size);
        packets::write_ipv4_header(bytes.first<20>(), {ttl_probe_size, probe_id, packets::dont_fragment, ttl,
                                                       packets::protocol_udp, source.v4(), target.v4()});
        packets::write_udp_header(bytes.subspan<20, 8>(), probe_source_port(probe_id),
                                  probe_destination_port(probe_id), udp_length);
        return probe;
    }
    std::vector<std::uint8_t> probe(ttl_probe_size_ipv6, 0);
    const std::span<std::uint8_t, ttl_probe_size_ipv6> bytes(probe.data(), ttl_probe_size_ipv6);
    packets::write_ipv6_header(bytes.first<packets::ipv6_header_length>(),
                               {udp_length, packets::protocol_udp, ttl, source, target});
    const auto udp = bytes.subspan<packets::ipv6_header_length, 8>();
    packets::write_udp_header(udp, probe_source_port(probe_id), probe_destination_port(probe_id), udp_length);
    packets::write_udp_checksum_ipv6(udp, source, target);
    return probe;
}

}  // namespace tarnvale::engines::hop
