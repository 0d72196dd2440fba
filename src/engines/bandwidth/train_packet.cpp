#include "engines/bandwidth/train_packet.hpp"

#include "packets/udp_datagram.hpp"

namespace tarnvale::engines::bandwidth {

std::optional<TrainPacketName> train_packet_of(std::uint16_t tag) {
    if (tag < first_train_tag) {
        return std::nullopt;
    }
    const unsigned number = tag - first_train_tag;
    if (number >= train_numbers * packets_per_train) {
        return std::nullopt;
    }
    return TrainPacketName{static_cast<std::uint16_t>(number / packets_per_train), number % packets_per_train};
}

std::vector<std::uint8_t> build_train_packet(std::uint16_t train_id, std::uint8_t hop, unsigned packet_index,
                                             const packets::IpAddress& source, const packets::IpAddress& target,
                                             std::uint16_t source_port, std::uint8_t flow) {
    const std::uint16_t tag = train_tag(train_id, packet_index);
    return packets::build_udp_datagram(
        {.source = source,
         .destination = target,
         .ttl = hop,
         .source_port = source_port,
         .destination_port = train_flow_port(flow),
         // As long in either family: the larger IPv6 header leaves less payload.
         .payload_length = train_packet_size - packets::udp_datagram_size(packets::family_of(target), 0),
         .identification = tag,
         .carried_checksum = tag});
}

}  // namespace tarnvale::engines::bandwidth
