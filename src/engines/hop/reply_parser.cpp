#include "engines/hop/reply_parser.hpp"

#include <algorithm>

#include "engines/hop/probe_packet.hpp"
#include "packets/byte_order.hpp"

namespace tarnvale::engines::hop {

ParsedReply parse_probe_reply(std::span<const std::uint8_t> datagram, packets::Ipv4 target) {
    ParsedReply parsed;
    const std::size_t remaining = datagram.size();
    if (remaining < 20) {
        return parsed;
    }
    const std::size_t header_length = static_cast<std::size_t>(datagram[0] & 0x0F) * 4;
    const std::size_t icmp_offset = std::max<std::size_t>(header_length, 20);
    if (remaining <= icmp_offset) {
        return parsed;
    }
    const std::size_t total_length = packets::read_u16(datagram, 2);
    const std::size_t payload = total_length > header_length ? total_length - header_length : 0;
    const std::size_t icmp_length = std::min(remaining, icmp_offset + payload) - icmp_offset;
    if (icmp_length < 4) {
        return parsed;
    }
    const packets::Ipv4 source = packets::read_u32(datagram, 12);
    const auto icmp = datagram.subspan(icmp_offset, icmp_length);
    const std::uint8_t type = icmp[0];
    if (type == icmp_time_exceeded) {
        parsed.time_exceeded_from = source;
    } else if (type != icmp_destination_unreachable) {
        return parsed;
    }
    // Quoted probe: IPv4 header at 8, its UDP header right behind it.
    if (icmp_length < 32 || icmp[8 + 9] != packets::protocol_udp || packets::read_u32(icmp, 8 + 16) != target) {
        return parsed;
    }
    const std::uint16_t probe_id = packets::read_u16(icmp, 8 + 4);
    if (packets::read_u16(icmp, 28) != probe_source_port(probe_id)) {
        return parsed;
    }
    parsed.reply = ProbeReply{probe_id, source};
    return parsed;
}

}  // namespace tarnvale::engines::hop
