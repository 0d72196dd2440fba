#include "packets/udp_datagram.hpp"

#include <span>

namespace tarnvale::packets {

std::vector<std::uint8_t> build_udp_datagram(const UdpDatagram& datagram) {
    const IpFamily family = family_of(datagram.destination);
    std::vector<std::uint8_t> bytes(udp_datagram_size(family, datagram.payload_length), 0);
    const std::span<std::uint8_t> out(bytes);
    const auto udp_length = static_cast<std::uint16_t>(udp_header_length + datagram.payload_length);
    if (family == IpFamily::v4) {
        write_ipv4_header(out.first<ipv4_header_length>(),
                          {static_cast<std::uint16_t>(bytes.size()), datagram.identification,
                           datagram.dont_fragment ? dont_fragment : std::uint16_t{0}, datagram.ttl, protocol_udp,
                           datagram.source.v4(), datagram.destination.v4()});
        write_udp_header(out.subspan<ipv4_header_length, udp_header_length>(), datagram.source_port,
                         datagram.destination_port, udp_length);
        return bytes;
    }
    write_ipv6_header(out.first<ipv6_header_length>(),
                      {udp_length, protocol_udp, datagram.ttl, datagram.source, datagram.destination});
    const auto udp = out.subspan(ipv6_header_length);
    write_udp_header(udp.first<udp_header_length>(), datagram.source_port, datagram.destination_port, udp_length);
    write_udp_checksum_ipv6(udp, datagram.source, datagram.destination);
    return bytes;
}

}  // namespace tarnvale::packets
