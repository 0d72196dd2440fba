#include "engines/hop/probe_packet.hpp"

namespace tarnvale::engines::hop {

std::vector<std::uint8_t> build_ttl_probe(std::uint16_t probe_id, std::uint8_t ttl, const packets::IpAddress& source,
                                          const packets::IpAddress& target) {
    packets::UdpDatagram probe{source, target, ttl, probe_source_port(probe_id), probe_destination_port(probe_id)};
    probe.identification = probe_id;
    probe.dont_fragment = true;  // without it Linux would replace an identification of 0
    return packets::build_udp_datagram(probe);
}

}  // namespace tarnvale::engines::hop
