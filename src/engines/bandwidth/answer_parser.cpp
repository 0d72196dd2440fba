#include "engines/bandwidth/answer_parser.hpp"

#include <algorithm>

#include "engines/bandwidth/train_packet.hpp"
#include "packets/byte_order.hpp"

namespace tarnvale::engines::bandwidth {

std::optional<TrainAnswer> parse_train_answer(std::span<const std::uint8_t> datagram, packets::Ipv4 target,
                                              AnswerSteps& steps) {
    if (datagram.size() < 20) {
        steps.outer_header_unreadable(datagram.size());
        return std::nullopt;
    }
    const std::size_t header_length = static_cast<std::size_t>(datagram[0] & 0x0F) * 4;
    const std::size_t total_length = packets::read_u16(datagram, 2);
    if (header_length < 20 || header_length > datagram.size()) {
        steps.outer_header_unreadable(datagram.size());
        return std::nullopt;
    }
    const packets::Ipv4 source = packets::read_u32(datagram, 12);
    steps.outer_header(source, datagram[9]);
    const std::size_t end = std::min(datagram.size(), std::max(total_length, header_length));
    const auto icmp = datagram.subspan(header_length, end - header_length);
    if (icmp.size() < 4) {
        return std::nullopt;
    }
    steps.icmp_type(icmp[0]);
    const bool from_target = icmp[0] == 3 && source == target;
    if (icmp[0] != 11 && !from_target) {
        return std::nullopt;
    }
    if (!from_target) {
        steps.time_exceeded(icmp.size() - 4);
    }
    // The 4 bytes after the checksum and a 20-byte quoted header must be there.
    if (icmp.size() - 4 <= 23) {
        return std::nullopt;
    }
    const auto quoted = icmp.subspan(8);
    const packets::Ipv4 quoted_destination = packets::read_u32(quoted, 16);
    steps.quoted_header(quoted_destination, quoted[9]);
    if (quoted_destination != target) {
        steps.destination_mismatch();
        return std::nullopt;
    }
    const std::size_t quoted_header_length = static_cast<std::size_t>(quoted[0] & 0x0F) * 4;
    const std::size_t payload_length = icmp.size() - 8;
    if (payload_length < quoted_header_length) {
        return std::nullopt;
    }
    const std::size_t transport_length = payload_length - quoted_header_length;
    steps.quoted_transport(quoted_header_length, transport_length, payload_length);
    if (transport_length < 8) {
        steps.quoted_transport_too_short();
        return std::nullopt;
    }
    const std::uint16_t source_port = packets::read_u16(quoted, quoted_header_length);
    const std::uint16_t destination_port = packets::read_u16(quoted, quoted_header_length + 2);
    steps.quoted_ports(destination_port, source_port);
    // The hop engine's TTL-limited probes use destination ports of the same
    // range; only our own source port marks an answer to a train.
    const auto hop = hop_for_port(destination_port);
    if (!hop || source_port != train_source_port) {
        return std::nullopt;
    }
    return TrainAnswer{destination_port, *hop,
                       static_cast<unsigned>((destination_port - train_base_port) % ports_per_hop), from_target};
}

}  // namespace tarnvale::engines::bandwidth
