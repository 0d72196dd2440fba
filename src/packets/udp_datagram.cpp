#include "packets/udp_datagram.hpp"

#include <span>

#include "packets/byte_order.hpp"
#include "packets/tcp_segment.hpp"

namespace tarnvale::packets {

namespace {

// Writes `checksum` into the header and then the payload's first word: the
// checksum of everything else, the chosen field included, so that the sum over
// the pseudo-header and the whole datagram comes out at ones' complement zero
// and the field verifies as it stands.
void carry_checksum(std::span<std::uint8_t> udp, const IpAddress& source, const IpAddress& destination,
                    std::uint16_t checksum) {
    write_u16(udp, 6, checksum);
    write_u16(udp, udp_header_length, 0);
    write_u16(udp, udp_header_length, transport_checksum(source, destination, protocol_udp, udp));
}

}  // namespace

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
    } else {
        write_ipv6_header(out.first<ipv6_header_length>(),
                          {udp_length, protocol_udp, datagram.ttl, datagram.source, datagram.destination});
    }
    const auto udp = out.subspan(family == IpFamily::v4 ? ipv4_header_length : ipv6_header_length);
    write_udp_header(udp.first<udp_header_length>(), datagram.source_port, datagram.destination_port, udp_length);
    if (datagram.carried_checksum) {
        carry_checksum(udp, datagram.source, datagram.destination, *datagram.carried_checksum);
    } else if (family == IpFamily::v6) {
        write_udp_checksum_ipv6(udp, datagram.source, datagram.destination);
    }
    return bytes;
}

}  // namespace tarnvale::packets
