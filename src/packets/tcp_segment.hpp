#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "packets/ip_address.hpp"

// A TCP segment with no options and no data in its IP datagram: what a probe
// sends to ask a host for an answer that its limits on ICMP do not touch (a SYN
// is answered by the host's kernel with a SYN-ACK or a reset), and what such an
// answer says.
namespace tarnvale::packets {

inline constexpr std::size_t tcp_header_length = 20;
inline constexpr std::uint8_t tcp_syn = 0x02;
inline constexpr std::uint8_t tcp_rst = 0x04;
inline constexpr std::uint8_t tcp_ack = 0x10;

struct TcpSegment {
    IpAddress source;
    IpAddress destination;
    std::uint8_t ttl;  // the hop limit over IPv6
    std::uint16_t source_port;
    std::uint16_t destination_port;
    std::uint32_t sequence;
    std::uint32_t acknowledgment = 0;
    std::uint8_t flags = tcp_syn;
    std::uint16_t window = 0;
    std::uint16_t identification = 0;  // IPv4 only
};

// The segment in its IP datagram, in the destination's family: over IPv4 with
// don't fragment set, both with the TCP checksum over the family's pseudo-header.
std::vector<std::uint8_t> build_tcp_segment(const TcpSegment& segment);

// The checksum of a TCP or UDP message (its checksum field 0) over the
// pseudo-header of the addresses' family and the message.
std::uint16_t transport_checksum(const IpAddress& source, const IpAddress& destination, std::uint8_t protocol,
                                 std::span<const std::uint8_t> message);

// What a received TCP segment says, read from its IP datagram (IPv4, or IPv6
// past its extension headers); nothing when the datagram is not TCP or its
// header is cut off. The checksum is not checked: the capture hands over what
// the host's interface took.
std::optional<TcpSegment> read_tcp_segment(std::span<const std::uint8_t> datagram);

}  // namespace tarnvale::packets
