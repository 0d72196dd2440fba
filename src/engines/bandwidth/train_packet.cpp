#include "engines/bandwidth/train_packet.hpp"

#include <span>

namespace tarnvale::engines::bandwidth {

std::optional<std::uint8_t> hop_for_port(std::uint16_t destination_port) {
    const std::uint16_t last = train_destination_port(highest_port_hop, ports_per_hop - 1);
    if (destination_port < train_base_port || destination_port > last) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>((destination_port - train_base_port) / ports_per_hop + 1);
}

std::array<std::uint8_t, train_packet_size> build_train_packet(std::uint16_t train_id, std::uint8_t hop,
                                                               unsigned packet_index, packets::Ipv4 source,
                                                               packets::Ipv4 target) {
    std::array<std::uint8_t, train_packet_size> packet{};  // the payload stays zero
    const std::span<std::uint8_t, train_packet_size> bytes(packet);
    packets::write_ipv4_header(bytes.first<20>(), {train_packet_size, train_identification(train_id, packet_index), 0,
                                                   hop, packets::protocol_udp, source, target});
    packets::write_udp_header(bytes.subspan<20, 8>(), train_source_port, train_destination_port(hop, packet_index),
                              train_udp_length);
    return packet;
}

}  // namespace tarnvale::engines::bandwidth
