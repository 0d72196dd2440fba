#include "packets/ipv6.hpp"

#include <algorithm>
#include <vector>

#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/ipv4.hpp"

namespace tarnvale::packets {

void write_ipv6_header(std::span<std::uint8_t, ipv6_header_length> out, const Ipv6Header& header) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    out[0] = 0x60;
    write_u16(out, 4, header.payload_length);
    out[6] = header.next_header;
    out[7] = header.hop_limit;
    std::copy(header.source.octets().begin(), header.source.octets().end(), out.begin() + 8);
    std::copy(header.destination.octets().begin(), header.destination.octets().end(), out.begin() + 24);
}

std::uint16_t ipv6_upper_layer_checksum(const IpAddress& source, const IpAddress& destination,
                                        std::uint8_t next_header, std::span<const std::uint8_t> message) {
    // Source, destination, the upper-layer length as 32 bits, three zero bytes and the next header.
    std::vector<std::uint8_t> summed(ipv6_header_length + message.size(), 0);
    std::copy(source.octets().begin(), source.octets().end(), summed.begin());
    std::copy(destination.octets().begin(), destination.octets().end(), summed.begin() + 16);
    write_u32(summed, 32, static_cast<std::uint32_t>(message.size()));
    summed[39] = next_header;
    std::copy(message.begin(), message.end(), summed.begin() + ipv6_header_length);
    return internet_checksum(summed);
}

void write_udp_checksum_ipv6(std::span<std::uint8_t> udp, const IpAddress& source, const IpAddress& destination) {
    write_u16(udp, 6, 0);
    const std::uint16_t checksum = ipv6_upper_layer_checksum(source, destination, protocol_udp, udp);
    write_u16(udp, 6, checksum == 0 ? 0xFFFF : checksum);
}

}  // namespace tarnvale::packets
