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

}  // namespace

std::vector<std::uint8_t> icmp_error_answer(const packets::IpAddress& from, const packets::IpAddress& to,
                                            bool at_target, std::span<const std::uint8_t> probe) {
    return from.is_v4() ? ipv4_error(from, to, at_target, probe) : ipv6_error(from, to, at_target, probe);
}

std::optional<packets::TcpSegment> read_tcp_syn(std::span<const std::uint8_t> datagram) {
    auto segment = packets::read_tcp_segment(datagram);
    if (!segment || (segment->flags & (packets::tcp_syn | packets::tcp_ack)) != packets::tcp_syn) {
        return std::nullopt;
    }
    return segment;
}

std::vector<std::uint8_t> tcp_answer(const packets::TcpSegment& syn, bool open) {
    using namespace packets;
    return build_tcp_segment({.source = syn.destination,
                              .destination = syn.source,
                              .ttl = 64,
                              .source_port = syn.destination_port,
                              .destination_port = syn.source_port,
                              .sequence = open ? answer_sequence : 0,
                              .acknowledgment = syn.sequence + 1,
                              .flags = static_cast<std::uint8_t>(open ? (tcp_syn | tcp_ack) : (tcp_rst | tcp_ack)),
                              .window = static_cast<std::uint16_t>(open ? 65535 : 0)});
}

}  // namespace tarnvale::sim
