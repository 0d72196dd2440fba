#include "packets/tcp_segment.hpp"

#include <algorithm>

#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/ipv4.hpp"
#include "packets/ipv6.hpp"
#include "packets/views.hpp"

namespace tarnvale::packets {

std::uint16_t transport_checksum(const IpAddress& source, const IpAddress& destination, std::uint8_t protocol,
                                 std::span<const std::uint8_t> message) {
    if (!source.is_v4()) {
        return ipv6_upper_layer_checksum(source, destination, protocol, message);
    }
    // Source, destination, a zero byte, the protocol and the message's length.
    constexpr std::size_t pseudo_header_length = 12;
    std::vector<std::uint8_t> summed(pseudo_header_length + message.size(), 0);
    write_u32(summed, 0, source.v4().number());
    write_u32(summed, 4, destination.v4().number());
    summed[9] = protocol;
    write_u16(summed, 10, static_cast<std::uint16_t>(message.size()));
    std::copy(message.begin(), message.end(), summed.begin() + pseudo_header_length);
    return internet_checksum(summed);
}

std::vector<std::uint8_t> build_tcp_segment(const TcpSegment& segment) {
    std::vector<std::uint8_t> header(tcp_header_length, 0);
    write_u16(header, 0, segment.source_port);
    write_u16(header, 2, segment.destination_port);
    write_u32(header, 4, segment.sequence);
    write_u32(header, 8, segment.acknowledgment);
    header[12] = tcp_header_length / 4 << 4;
    header[13] = segment.flags;
    write_u16(header, 14, segment.window);
    write_u16(header, 16, transport_checksum(segment.source, segment.destination, protocol_tcp, header));

    const bool ipv4 = segment.destination.is_v4();
    const std::size_t ip_header = ipv4 ? ipv4_header_length : ipv6_header_length;
    std::vector<std::uint8_t> datagram(ip_header + header.size(), 0);
    if (ipv4) {
        write_ipv4_header(std::span(datagram).first<ipv4_header_length>(),
                          {static_cast<std::uint16_t>(datagram.size()), segment.identification, dont_fragment,
                           segment.ttl, protocol_tcp, segment.source.v4(), segment.destination.v4()});
    } else {
        write_ipv6_header(std::span(datagram).first<ipv6_header_length>(),
                          {static_cast<std::uint16_t>(header.size()), protocol_tcp, segment.ttl, segment.source,
                           segment.destination});
    }
    std::copy(header.begin(), header.end(), datagram.begin() + static_cast<std::ptrdiff_t>(ip_header));
    return datagram;
}

std::optional<TcpSegment> read_tcp_segment(std::span<const std::uint8_t> datagram) {
    std::span<const std::uint8_t> header;
    TcpSegment segment{};
    if (!datagram.empty() && (datagram[0] >> 4) == 6) {
        const auto packet = Ipv6View::read(datagram);
        const auto upper = packet ? packet->upper_layer() : std::nullopt;
        if (!upper || upper->protocol != protocol_tcp) {
            return std::nullopt;
        }
        header = upper->bytes;
        segment.source = packet->source();
        segment.destination = packet->destination();
        segment.ttl = packet->hop_limit();
    } else {
        const auto packet = Ipv4View::read(datagram);
        if (!packet || packet->protocol() != protocol_tcp) {
            return std::nullopt;
        }
        header = packet->payload();
        segment.source = IpAddress(packet->source());
        segment.destination = IpAddress(packet->destination());
        segment.ttl = packet->ttl();
        segment.identification = packet->identification();
    }
    if (header.size() < tcp_header_length) {
        return std::nullopt;
    }
    segment.source_port = read_u16(header, 0);
    segment.destination_port = read_u16(header, 2);
    segment.sequence = read_u32(header, 4);
    segment.acknowledgment = read_u32(header, 8);
    segment.flags = header[13];
    segment.window = read_u16(header, 14);
    return segment;
}

}  // namespace tarnvale::packets
