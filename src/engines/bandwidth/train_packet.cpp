#include "engines/bandwidth/train_packet.hpp"

#include <span>

#include "packets/ipv4.hpp"
#include "packets/ipv6.hpp"

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
    std::vector<std::uint8_t> packet(train_packet_size, 0);  // the payload stays zero
    const std::span<std::uint8_t, train_packet_size> bytes(packet.data(), train_packet_size);
    const std::uint16_t port = train_destination_port(hop, packet_index);
    if (target.is_v4()) {
        packets::write_ipv4_header(bytes.first<20>(), {train_packet_size, train_identification(train_id, packet_index),
                                                       0, hop, packets::protocol_udp, source.v4(), target.v4()});
        packets::write_udp_header(bytes.subspan<20, 8>(), source_port, port, train_udp_length);
        return packet;
    }
    packets::write_ipv6_header(bytes.first<packets::ipv6_header_length>(),
                               {train_udp_length_ipv6, packets::protocol_udp, hop, source, target});
    const auto udp = bytes.subspan<packets::ipv6_header_length>();
    packets::write_udp_header(udp.first<8>(), source_port, port, train_udp_length_ipv6);
    packets::write_udp_checksum_ipv6(udp, source, target);
    return packet;
}

}  // namespace tarnvale::engines::bandwidth
