#include "engines/hop/probe_packet.hpp"

#include "packets/tcp_segment.hpp"

namespace tarnvale::engines::hop {

std::vector<std::uint8_t> build_ttl_probe(std::uint16_t probe_id, std::uint8_t ttl, const ProbeFlow& flow,
                                          const packets::IpAddress& source, const packets::IpAddress& target) {
    return packets::build_udp_datagram({.source = source,
                                        .destination = target,
                                        .ttl = ttl,
                                        .source_port = flow.source_port,
                                        .destination_port = flow.destination_port,
                                        .payload_length = ttl_probe_payload,
                                        .identification = probe_id,
                                        .dont_fragment = true,  // 30 bytes need no fragments on any path
                                        .carried_checksum = probe_id});
}

std::vector<std::uint8_t> build_tcp_probe(std::uint16_t probe_id, std::uint8_t ttl, std::uint16_t source_port,
                                          const packets::IpAddress& source, const packets::IpAddress& target) {
    // A window as a host's own SYN offers: middleboxes drop some odd-looking SYNs.
    constexpr std::uint16_t window = 64240;
    return packets::build_tcp_segment({.source = source,
                                       .destination = target,
                                       .ttl = ttl,
                                       .source_port = source_port,
                                       .destination_port = target_tcp_port,
                                       .sequence = probe_id,
                                       .window = window,
                                       .identification = probe_id});
}

}  // namespace tarnvale::engines::hop
