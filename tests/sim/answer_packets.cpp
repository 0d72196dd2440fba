#include "answer_packets.hpp"

#include <algorithm>

#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/ipv6.hpp"
#include "packets/views.hpp"

namespace tarnvale::sim {

namespace {

constexpr std::uint8_t port_unreachable = 3;
constexpr std::uint8_t port_unreachable_v6 = 4;
// What a router quotes of an IPv4 datagram it answers: its header and 8 bytes.
constexpr std::size_t quoted_bytes = 28;
constexpr std::size_t tcp_header_length = 20;
constexpr std::uint8_t tcp_syn = 0x02;
constexpr std::uint8_t tcp_rst = 0x04;
constexpr std::uint8_t tcp_ack = 0x10;
// The SYN-ACK's own sequence number; any will do.
constexpr std::uint32_t answer_sequence = 0x5EED0001;

std::vector<std::uint8_t> ipv4_error(const packets::IpAddress& from, const packets::IpAddress& to, bool at_target,
                                     std::span<const std::uint8_t> probe) {
    const std::size_t quoted = std::min(probe.size(), quoted_bytes);
    std::vector<std::uint8_t> answer(20 + 8 + quoted, 0);
    packets::write_ipv4_header(std::span(answer).first<20>(), {static_cast<std::uint16_t>(answer.size()), 0, 0, 64,
                                                               packets::protocol_icmp, from.v4(), to.v4()});
    answer[20] = at_target ? packets::icmp_destination_unreachable : packets::icmp_time_exceeded;
    answer[21] = at_target ? port_unreachable : 0;
    std::copy_n(probe.begin(), quoted, answer.begin() + 28);
    return answer;
}

// ICMPv6 quotes the whole probe.
std::vector<std::uint8_t> ipv6_error(const packets::IpAddress& from, const packets::IpAddress& to, bool at_target,
                                     std::span<const std::uint8_t> probe) {
    std::vector<std::uint8_t> answer(packets::ipv6_header_length + 8 + probe.size(), 0);
    packets::write_ipv6_header(std::span(answer).first<packets::ipv6_header_length>(),
                               {static_cast<std::uint16_t>(8 + probe.size()), packets::protocol_icmpv6, 64, from, to});
    answer[40] = at_target ? packets::icmpv6_destination_unreachable : packets::icmpv6_time_exceeded;
    answer[41] = at_target ? port_unreachable_v6 : 0;
    std::copy(probe.begin(), probe.end(), answer.begin() + 48);
    return answer;
}

// TCP's checksum over the IPv4 pseudo-header (source, destination, zero,
// protocol, length) and the segment.
std::uint16_t ipv4_tcp_checksum(const packets::IpAddress& from, const packets::IpAddress& to,
                                std::span<const std::uint8_t> segment) {
    std::vector<std::uint8_t> summed(12 + segment.size(), 0);
    packets::write_u32(summed, 0, from.v4().number());
    packets::write_u32(summed, 4, to.v4().number());
    summed[9] = packets::protocol_tcp;
    packets::write_u16(summed, 10, static_cast<std::uint16_t>(segment.size()));
    std::copy(segment.begin(), segment.end(), summed.begin() + 12);
    return packets::internet_checksum(summed);
}

}  // namespace

std::vector<std::uint8_t> icmp_error_answer(const packets::IpAddress& from, const packets::IpAddress& to,
                                            bool at_target, std::span<const std::uint8_t> probe) {
    return from.is_v4() ? ipv4_error(from, to, at_target, probe) : ipv6_error(from, to, at_target, probe);
}

std::optional<TcpSyn> read_tcp_syn(std::span<const std::uint8_t> datagram) {
    std::span<const std::uint8_t> segment;
    if (!datagram.empty() && (datagram[0] >> 4) == 6) {
        const auto packet = packets::Ipv6View::read(datagram);
        const auto upper = packet ? packet->upper_layer() : std::nullopt;
        if (!upper || upper->protocol != packets::protocol_tcp) {
            return std::nullopt;
        }
        segment = upper->bytes;
    } else {
        const auto packet = packets::Ipv4View::read(datagram);
        if (!packet || packet->protocol() != packets::protocol_tcp) {
            return std::nullopt;
        }
        segment = packet->payload();
    }
    if (segment.size() < tcp_header_length || (segment[13] & (tcp_syn | tcp_ack)) != tcp_syn) {
        return std::nullopt;
    }
    return TcpSyn{packets::read_u16(segment, 0), packets::read_u16(segment, 2), packets::read_u32(segment, 4)};
}

std::vector<std::uint8_t> tcp_answer(const packets::IpAddress& from, const packets::IpAddress& to, const TcpSyn& syn,
                                     bool open) {
    std::vector<std::uint8_t> segment(tcp_header_length, 0);
    packets::write_u16(segment, 0, syn.destination_port);
    packets::write_u16(segment, 2, syn.source_port);
    packets::write_u32(segment, 4, open ? answer_sequence : 0);
    packets::write_u32(segment, 8, syn.sequence + 1);
    segment[12] = tcp_header_length / 4 << 4;
    segment[13] = open ? (tcp_syn | tcp_ack) : (tcp_rst | tcp_ack);
    packets::write_u16(segment, 14, open ? 65535 : 0);
    const bool ipv4 = from.is_v4();
    packets::write_u16(segment, 16,
                       ipv4 ? ipv4_tcp_checksum(from, to, segment)
                            : packets::ipv6_upper_layer_checksum(from, to, packets::protocol_tcp, segment));
    const std::size_t header = ipv4 ? packets::ipv4_header_length : packets::ipv6_header_length;
    std::vector<std::uint8_t> answer(header + segment.size(), 0);
    if (ipv4) {
        packets::write_ipv4_header(std::span(answer).first<packets::ipv4_header_length>(),
                                   {static_cast<std::uint16_t>(answer.size()), 0, packets::dont_fragment, 64,
                                    packets::protocol_tcp, from.v4(), to.v4()});
    } else {
        packets::write_ipv6_header(std::span(answer).first<packets::ipv6_header_length>(),
                                   {static_cast<std::uint16_t>(segment.size()), packets::protocol_tcp, 64, from, to});
    }
    std::copy(segment.begin(), segment.end(), answer.begin() + static_cast<std::ptrdiff_t>(header));
    return answer;
}

}  // namespace tarnvale::sim
