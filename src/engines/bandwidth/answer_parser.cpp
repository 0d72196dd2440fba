#include "engines/bandwidth/answer_parser.hpp"

#include "engines/bandwidth/train_packet.hpp"
#include "packets/views.hpp"

namespace tarnvale::engines::bandwidth {

std::optional<TrainAnswer> parse_train_answer(std::span<const std::uint8_t> datagram, packets::Ipv4 target,
                                              AnswerSteps& steps) {
    const auto outer = packets::Ipv4View::read(datagram);
    if (!outer) {
        steps.outer_header_unreadable(datagram.size());
        return std::nullopt;
    }
    steps.outer_header(outer->source(), outer->protocol());
    const auto icmp = packets::IcmpView::read(outer->payload());
    if (!icmp) {
        return std::nullopt;
    }
    steps.icmp_type(icmp->type());
    const bool from_target = icmp->type() == packets::icmp_destination_unreachable && outer->source() == target;
    if (icmp->type() != packets::icmp_time_exceeded && !from_target) {
        return std::nullopt;
    }
    if (!from_target) {
        steps.time_exceeded(icmp->length() - 4);
    }
    const auto quoted = icmp->quoted_datagram();
    if (!quoted) {
        return std::nullopt;
    }
    steps.quoted_header(quoted->destination(), quoted->protocol());
    if (quoted->destination() != target) {
        steps.destination_mismatch();
        return std::nullopt;
    }
    const std::size_t transport_length = quoted->payload().size();
    steps.quoted_transport(quoted->header_length(), transport_length,
                           icmp->length() - packets::IcmpView::header_length);
    if (transport_length < 8) {
        steps.quoted_transport_too_short();
        return std::nullopt;
    }
    const auto ports = packets::TransportPorts::read(quoted->payload());
    steps.quoted_ports(ports->destination, ports->source);
    // The hop engine's TTL-limited probes use destination ports of the same
    // range; only our own source port marks an answer to a train.
    const auto hop = hop_for_port(ports->destination);
    if (!hop || ports->source != train_source_port) {
        return std::nullopt;
    }
    return TrainAnswer{ports->destination, *hop,
                       static_cast<unsigned>((ports->destination - train_base_port) % ports_per_hop), from_target};
}

}  // namespace tarnvale::engines::bandwidth
