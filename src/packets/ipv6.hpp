#pragma once

#include <cstdint>
#include <span>

#include "packets/ip_address.hpp"

// What the probe writes of IPv6: the fixed header, and the checksum that
// every upper layer over IPv6 carries (UDP included, where IPv4 lets it be 0).
namespace tarnvale::packets {

inline constexpr std::size_t ipv6_header_length = 40;

// Version 6, traffic class and flow label 0, and the given fields.
struct Ipv6Header {
    std::uint16_t payload_length;
    std::uint8_t next_header;
    std::uint8_t hop_limit;
    IpAddress source;
    IpAddress destination;
};

void write_ipv6_header(std::span<std::uint8_t, ipv6_header_length> out, const Ipv6Header& header);

// The checksum of an upper-layer message (its checksum field 0) over the
// IPv6 pseudo-header of RFC 8200 section 8.1 and the message.
std::uint16_t ipv6_upper_layer_checksum(const IpAddress& source, const IpAddress& destination,
                                        std::uint8_t next_header, std::span<const std::uint8_t> message);

// Fills in the checksum of a UDP datagram (header and payload) sent over
// IPv6; a sum of 0 is sent as 0xFFFF, 0 meaning "no checksum", which IPv6
// does not allow.
void write_udp_checksum_ipv6(std::span<std::uint8_t> udp, const IpAddress& source, const IpAddress& destination);

}  // namespace tarnvale::packets
