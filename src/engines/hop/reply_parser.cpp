#include "engines/hop/reply_parser.hpp"

#include "packets/byte_order.hpp"
#include "packets/icmp_error.hpp"
#include "packets/tcp_segment.hpp"

namespace tarnvale::engines::hop {

namespace {

// The probe a quoted datagram of one of our flows is, by its flow and the id it
// carries in its UDP checksum. Every
// ICMP error quotes at least 8 bytes past the IP header: the whole UDP header.
// The checksum alone names the probe: routers rewrite neither it nor the ports
// (it does not cover the TTL), and a NAT on the way restores the ports and the
// checksum in the quote it passes back; the IPv4 identification, which carries
// the id too, some firewalls and scrubbers replace. A checksum of 0 is no
// probe's: it is a datagram without one.
std::optional<ProbeReply> quoted_probe(const packets::QuotedDatagram& quoted, const ProbeFlows& flows,
                                       const packets::IpAddress& source) {
    if (quoted.transport.size() < packets::udp_header_length) {
        return std::nullopt;
    }
    const auto ports = packets::TransportPorts::read(quoted.transport);
    const auto flow = ports ? flows.index_of(ports->source, ports->destination) : std::nullopt;
    if (!flow) {
        return std::nullopt;
    }
    const std::uint16_t checksum = packets::read_u16(quoted.transport, 6);
    if (checksum == 0) {
        return std::nullopt;
    }
    return ProbeReply{checksum, source, *flow};
}

}  // namespace

ParsedReply parse_probe_reply(std::span<const std::uint8_t> datagram, const packets::IpAddress& target,
                              const ProbeFlows& flows) {
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
    // The quoted probe: a UDP datagram of our flow to the target that names one of our probes.
    const auto& quoted = icmp.quoted;
    if (!quoted || quoted->protocol != packets::protocol_udp || quoted->destination != target) {
        return parsed;
    }
    parsed.reply = quoted_probe(*quoted, flows, received->source);
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
