#include "engines/bandwidth/answer_parser.hpp"

#include "engines/bandwidth/train_packet.hpp"
#include "packets/views.hpp"

namespace tarnvale::engines::bandwidth {

namespace {

// The outer header's source and the ICMP or ICMPv6 message it carries, in the target's family.
struct OuterPacket {
    packets::IpAddress source;
    std::uint8_t protocol;
    packets::Bytes message;
};

std::optional<OuterPacket> read_outer(packets::Bytes datagram, bool ipv4) {
    if (ipv4) {
        const auto outer = packets::Ipv4View::read(datagram);
        if (!outer) {
            return std::nullopt;
        }
        return OuterPacket{packets::IpAddress(outer->source()), outer->protocol(), outer->payload()};
    }
    const auto outer = packets::Ipv6View::read(datagram);
    const auto upper = outer ? outer->upper_layer() : std::nullopt;
    if (!upper) {
        return std::nullopt;
    }
    return OuterPacket{outer->source(), upper->protocol, upper->bytes};
}

// The quoted datagram's destination, protocol, header length and transport bytes.
struct QuotedPacket {
    packets::IpAddress destination;
    std::uint8_t protocol;
    std::size_t header_length;
    packets::Bytes transport;
};

std::optional<QuotedPacket> read_quoted(const packets::IcmpView& icmp, bool ipv4) {
    if (ipv4) {
        const auto quoted = icmp.quoted_datagram();
        if (!quoted) {
            return std::nullopt;
        }
        return QuotedPacket{packets::IpAddress(quoted->destination()), quoted->protocol(), quoted->header_length(),
                            quoted->payload()};
    }
    const auto quoted = icmp.quoted_ipv6_packet();
    const auto upper = quoted ? quoted->upper_layer() : std::nullopt;
    if (!upper) {
        return std::nullopt;
    }
    const std::size_t header_length = icmp.length() - packets::IcmpView::header_length - upper->bytes.size();
    return QuotedPacket{quoted->destination(), upper->protocol, header_length, upper->bytes};
}

}  // namespace

std::optional<TrainAnswer> parse_train_answer(std::span<const std::uint8_t> datagram,
                                              const packets::IpAddress& target, std::uint16_t source_port,
                                              AnswerSteps& steps) {
    const bool ipv4 = target.is_v4();
    if (datagram.empty() || (datagram[0] >> 4) != (ipv4 ? 4 : 6)) {
        return std::nullopt;  // another family's: its addresses would be read from the wrong places
    }
    const auto outer = read_outer(datagram, ipv4);
    if (!outer) {
        steps.outer_header_unreadable(datagram.size());
        return std::nullopt;
    }
    steps.outer_header(outer->source, outer->protocol);
    const auto icmp = packets::IcmpView::read(outer->message);
    if (!icmp) {
        return std::nullopt;
    }
    steps.icmp_type(icmp->type());
    const std::uint8_t time_exceeded = ipv4 ? packets::icmp_time_exceeded : packets::icmpv6_time_exceeded;
    const std::uint8_t unreachable =
        ipv4 ? packets::icmp_destination_unreachable : packets::icmpv6_destination_unreachable;
    const bool from_target = icmp->type() == unreachable && outer->source == target;
    if (icmp->type() != time_exceeded && !from_target) {
        return std::nullopt;
    }
    if (!from_target) {
        steps.time_exceeded(icmp->length() - 4);
    }
    const auto quoted = read_quoted(*icmp, ipv4);
    if (!quoted) {
        return std::nullopt;
    }
    steps.quoted_header(quoted->destination, quoted->protocol);
    if (quoted->destination != target) {
        steps.destination_mismatch();
        return std::nullopt;
    }
    const std::size_t transport_length = quoted->transport.size();
    steps.quoted_transport(quoted->header_length, transport_length, icmp->length() - packets::IcmpView::header_length);
    if (transport_length < 8) {
        steps.quoted_transport_too_short();
        return std::nullopt;
    }
    const auto ports = packets::TransportPorts::read(quoted->transport);
    steps.quoted_ports(ports->destination, ports->source);
    // The hop engine's TTL-limited probes, and other programs' trains, use
    // destination ports of the same range; only our own source port marks an
    // answer to one of our trains.
    const auto hop = hop_for_port(ports->destination);
    if (!hop || ports->source != source_port) {
        return std::nullopt;
    }
    return TrainAnswer{ports->destination, *hop,
                       static_cast<unsigned>((ports->destination - train_base_port) % ports_per_hop), from_target};
}

}  // namespace tarnvale::engines::bandwidth
