#include "engines/bandwidth/answer_parser.hpp"

#include "engines/bandwidth/train_packet.hpp"

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
    if (!quoted || quoted->destination != target || quoted->transport.size() < packets::udp_header_length) {
        return std::nullopt;
    }
    const auto ports = packets::TransportPorts::read(quoted->transport);
    // The hop engine's TTL-limited probes, and other programs' trains, use
    // destination ports of the same range; only our own source port marks an
    // answer to one of our trains.
    const auto hop = hop_for_port(ports->destination);
    if (!hop || ports->source != source_port) {
        return std::nullopt;
    }
    return TrainAnswer{ports->destination, *hop,
                       static_cast<unsigned>((ports->destination - train_base_port) % ports_per_hop), from_target,
                       received.source};
}

}  // namespace tarnvale::engines::bandwidth
