#include "engines/hop/reply_parser.hpp"

#include "engines/hop/probe_packet.hpp"
#include "packets/views.hpp"

namespace tarnvale::engines::hop {

namespace {

ParsedReply parse_ipv4_reply(packets::Bytes datagram, const packets::IpAddress& target) {
    ParsedReply parsed;
    const auto outer = packets::Ipv4View::read(datagram);
    const auto icmp = outer ? packets::IcmpView::read(outer->payload()) : std::nullopt;
    if (!icmp) {
        return parsed;
    }
    const packets::IpAddress source(outer->source());
    if (icmp->type() == packets::icmp_time_exceeded) {
        parsed.time_exceeded_from = source;
    } else if (icmp->type() != packets::icmp_destination_unreachable) {
        return parsed;
    }
    // The quoted probe: a UDP datagram to the target whose source port goes with its identification.
    const auto quoted = icmp->quoted_datagram();
    if (!quoted || quoted->protocol() != packets::protocol_udp || packets::IpAddress(quoted->destination()) != target) {
        return parsed;
    }
    const auto ports = packets::TransportPorts::read(quoted->payload());
    const std::uint16_t probe_id = quoted->identification();
    if (!ports || ports->source != probe_source_port(probe_id)) {
        return parsed;
    }
    parsed.reply = ProbeReply{probe_id, source};
    return parsed;
}

ParsedReply parse_ipv6_reply(packets::Bytes datagram, const packets::IpAddress& target) {
    ParsedReply parsed;
    const auto outer = packets::Ipv6View::read(datagram);
    const auto upper = outer ? outer->upper_layer() : std::nullopt;
    const auto icmp = upper && upper->protocol == packets::protocol_icmpv6 ? packets::IcmpView::read(upper->bytes)
                                                                          : std::nullopt;
    if (!icmp) {
        return parsed;
    }
    if (icmp->type() == packets::icmpv6_time_exceeded) {
        parsed.time_exceeded_from = outer->source();
    } else if (icmp->type() != packets::icmpv6_destination_unreachable) {
        return parsed;
    }
    // The quoted probe: a UDP datagram to the target whose ports name one of our probes.
    const auto quoted = icmp->quoted_ipv6_packet();
    const auto quoted_upper = quoted && quoted->destination() == target ? quoted->upper_layer() : std::nullopt;
    if (!quoted_upper || quoted_upper->protocol != packets::protocol_udp) {
        return parsed;
    }
    const auto ports = packets::TransportPorts::read(quoted_upper->bytes);
    const auto probe_id = ports ? probe_id_of_ports(ports->source, ports->destination) : std::nullopt;
    if (probe_id) {
        parsed.reply = ProbeReply{*probe_id, outer->source()};
    }
    return parsed;
}

}  // namespace

ParsedReply parse_probe_reply(std::span<const std::uint8_t> datagram, const packets::IpAddress& target) {
    if (datagram.empty() || (datagram[0] >> 4) != (target.is_v4() ? 4 : 6)) {
        return {};  // another family's: its addresses would be read from the wrong places
    }
    return target.is_v4() ? parse_ipv4_reply(datagram, target) : parse_ipv6_reply(datagram, target);
}

}  // namespace tarnvale::engines::hop
