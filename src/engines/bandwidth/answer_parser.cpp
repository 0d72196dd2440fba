#include "engines/bandwidth/answer_parser.hpp"

#include "engines/bandwidth/train_packet.hpp"
#include "packets/byte_order.hpp"
#include "packets/ipv4.hpp"

namespace tarnvale::engines::bandwidth {

bool is_target_unreachable(const packets::ReceivedIcmp& received, const packets::IpAddress& target) {
    return received.icmp && received.icmp->kind == packets::IcmpErrorKind::destination_unreachable &&
           received.source == target;
}

std::optional<TrainAnswer> match_train_answer(const packets::ReceivedIcmp& received, const packets::IpAddress& target,
                                              std::uint16_t source_port) {
    if (!received.icmp) {
        return std::nullopt;
    }
    const bool from_target = is_target_unreachable(received, target);
    if (received.icmp->kind != packets::IcmpErrorKind::time_exceeded && !from_target) {
        return std::nullopt;
    }
    const auto& quoted = received.icmp->quoted;
    if (!quoted || quoted->destination != target || quoted->protocol != packets::protocol_udp ||
        quoted->transport.size() < packets::udp_header_length) {
        return std::nullopt;
    }
    // The hop engine's TTL-limited probes go to the same destination ports, and
    // other programs' trains may too; only our own source port marks an answer
    // to one of our trains. Every error quotes the whole UDP header, and with
    // it the checksum: routers leave it be (it does not cover the TTL), and a
    // NAT on the way restores it with the ports in the quote it passes back.
    const auto ports = packets::TransportPorts::read(quoted->transport);
    if (!ports || ports->source != source_port) {
        return std::nullopt;
    }
    const auto flow = train_flow_of_port(ports->destination);
    if (!flow) {
        return std::nullopt;
    }
    const auto packet = train_packet_of(packets::read_u16(quoted->transport, 6));
    if (!packet) {
        return std::nullopt;
    }
    return TrainAnswer{packet->train_id, packet->packet_index, *flow, from_target, received.source};
}

}  // namespace tarnvale::engines::bandwidth
