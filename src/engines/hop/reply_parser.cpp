#include "engines/hop/reply_parser.hpp"

#include "engines/hop/probe_packet.hpp"
#include "packets/views.hpp"

namespace tarnvale::engines::hop {

ParsedReply parse_probe_reply(std::span<const std::uint8_t> datagram, packets::Ipv4 target) {
    ParsedReply parsed;
    const auto outer = packets::Ipv4View::read(datagram);
    const auto icmp = outer ? packets::IcmpView::read(outer->payload()) : std::nullopt;
    if (!icmp) {
        return parsed;
    }
    if (icmp->type() == packets::icmp_time_exceeded) {
        parsed.time_exceeded_from = outer->source();
    } else if (icmp->type() != packets::icmp_destination_unreachable) {
        return parsed;
    }
    // The quoted probe: a UDP datagram to the target whose source port goes with its identification.
    const auto quoted = icmp->quoted_datagram();
    if (!quoted || quoted->protocol() != packets::protocol_udp || quoted->destination() != target) {
        return parsed;
    }
    const auto ports = packets::TransportPorts::read(quoted->payload());
    const std::uint16_t probe_id = quoted->identification();
    if (!ports || ports->source != probe_source_port(probe_id)) {
        return parsed;
    }
    parsed.reply = ProbeReply{probe_id, outer->source()};
    return parsed;
}

}  // namespace tarnvale::engines::hop
