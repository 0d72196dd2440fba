#include "engines/bandwidth/train_packet.hpp"

#include "packets/udp_datagram.hpp"

namespace tarnvale::engines::bandwidth {

std::optional<std::uint8_t> hop_for_port(std::uint16_t destination_port) {
    const std::uint16_t last = train_destination_port(highest_port_hop, ports_per_hop - 1);
    if (destination_port < train_base_port || destination_port > last) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>((destination_port - train_base_port) / ports_per_hop + 1);
}

std::vector<std::uint8_t> build_train_packet(std::uint16_t train_id, std::uint8_t hop, unsigned packet_index,
                                             const packets::IpAddress& source, const packets::IpAddress& target,
                                             std::uint16_t source_port) {
    // As long in either family: the larger IPv6 header leaves less payload.
    const std::size_t payload_length = train_packet_size - packets::udp_datagram_size(packets::family_of(target), 0);
    const std::uint16_t destination_port = train_destination_port(hop, packet_index);
    packets::UdpDatagram packet{source, target, hop, source_port, destination_port, payload_length};
    packet.identification = train_identification(train_id, packet_index);
    return packets::build_udp_datagram(packet);
}

}  // namespace tarnvale::engines::bandwidth
