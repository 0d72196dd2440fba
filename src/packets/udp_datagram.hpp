#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "packets/icmp_error.hpp"
#include "packets/ip_address.hpp"
#include "packets/ipv4.hpp"
#include "packets/ipv6.hpp"

namespace tarnvale::packets {

// A UDP datagram with its IP header, as a raw socket sends it: over IPv4 with
// the header included (a header checksum and a UDP checksum of 0, "none"), over
// IPv6 with the UDP checksum IPv6 requires; or, in either family, a checksum of
// the caller's choosing. The payload is zero bytes but for what that choice
// writes. Every field that routers quote back is set here, so that a probe's
// identity can be carried in whichever of them the caller chooses.
struct UdpDatagram {
    IpAddress source;
    IpAddress destination;
    std::uint8_t ttl;  // the hop limit over IPv6
    std::uint16_t source_port;
    std::uint16_t destination_port;
    std::size_t payload_length = 0;
    std::uint16_t identification = 0;  // IPv4 only
    bool dont_fragment = false;        // IPv4 only
    // The UDP checksum the datagram is to carry, 1 to 0xFFFF (0 would mean
    // "none" over IPv4 and is not allowed over IPv6): the payload's first two
    // bytes, which it needs, are chosen so that the checksum verifies.
    std::optional<std::uint16_t> carried_checksum = std::nullopt;
};

// The datagram's whole length: the IP header, the UDP header and the payload.
constexpr std::size_t udp_datagram_size(IpFamily family, std::size_t payload_length) {
    return (family == IpFamily::v4 ? ipv4_header_length : ipv6_header_length) + udp_header_length + payload_length;
}

// In the destination's family.
std::vector<std::uint8_t> build_udp_datagram(const UdpDatagram& datagram);

}  // namespace tarnvale::packets
