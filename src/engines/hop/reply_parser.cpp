#include "engines/hop/reply_parser.hpp"

#include "engines/hop/probe_packet.hpp"
#include "packets/icmp_error.hpp"
#include "packets/tcp_segment.hpp"

namespace tarnvale::engines::hop {

namespace {

// The probe id the quoted ports carry: over IPv4 the identification names the
// probe and its source port must go with it; over IPv6, which has no
// identification, the ports alone name it.
std::optional<std::uint16_t> quoted_probe_id(const packets::QuotedDatagram& quoted) {
    const auto ports = packets::TransportPorts::read(quoted.transport);
    if (!ports) {
        return std::nullopt;
    }
    if (quoted.identification) {
        if (ports->source != probe_source_port(*quoted.identification)) {
            return std::nullopt;
        }
        return quoted.identification;
    }
    return probe_id_of_ports(ports->source, ports->destination);
}

}  // namespace

ParsedReply parse_probe_reply(std::span<const std::uint8_t> datagram, const packets::IpAddress& target) {
    ParsedReply parsed;
    const auto received = packets::read_icmp_error(datagram, packets::family_of(target));
    if (!received || !received->icmp) {
        return parsed;
    }
    const packets::IcmpMessage& icmp = *received->icmp;
    if (icmp.kind == packets::IcmpErrorKind::time_exceeded) {
        parsed.time_exceeded_from = received->source;
    } else if (icmp.kind != packets::IcmpErrorKind::destination_unreachable) {
        return parsed;
    }
    // The quoted probe: a UDP datagram to the target that names one of our probes.
    const auto& quoted = icmp.quoted;
    if (!quoted || quoted->protocol != packets::protocol_udp || quoted->destination != target) {
        return parsed;
    }
    if (const auto probe_id = quoted_probe_id(*quoted)) {
        parsed.reply = ProbeReply{*probe_id, received->source};
    }
    return parsed;
}

std::optional<ProbeReply> parse_tcp_answer(std::span<const std::uint8_t> datagram, const packets::IpAddress& target,
                                           std::uint16_t own_port) {
    using namespace packets;
    const auto segment = read_tcp_segment(datagram);
    if (!segment || segment->source != target || segment->source_port != target_tcp_port ||
        segment->destination_port != own_port) {
        return std::nullopt;
    }
    const bool syn_ack = (segment->flags & (tcp_syn | tcp_ack)) == (tcp_syn | tcp_ack);
    const bool reset = (segment->flags & (tcp_rst | tcp_ack)) == (tcp_rst | tcp_ack);
    const std::uint32_t probe_id = segment->acknowledgment - 1;
    if ((!syn_ack && !reset) || probe_id > 0xFFFF) {
        return std::nullopt;
    }
    return ProbeReply{static_cast<std::uint16_t>(probe_id), segment->source};
}

}  // namespace tarnvale::engines::hop
