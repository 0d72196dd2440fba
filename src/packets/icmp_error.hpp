#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "packets/ip_address.hpp"
#include "packets/views.hpp"

// Reading the ICMP and ICMPv6 error messages that routers and targets send back
// about a datagram: who sent it, what kind it is, and what it quotes.
namespace tarnvale::packets {

enum class IpFamily { v4, v6 };

constexpr IpFamily family_of(const IpAddress& address) { return address.is_v4() ? IpFamily::v4 : IpFamily::v6; }

// Whether the datagram's version field names the family: a datagram of the
// other family would have its addresses read from the wrong places.
bool is_of_family(Bytes datagram, IpFamily family);

enum class IcmpErrorKind { time_exceeded, destination_unreachable, other };

// What an error message quotes of the datagram that caused it.
struct QuotedDatagram {
    IpAddress destination;
    std::uint8_t protocol;                        // over IPv6, that of the header after the extension headers
    std::size_t header_length;                    // the IP header with its options or extension headers
    std::optional<std::uint16_t> identification;  // IPv4 only
    Bytes transport;                              // as much of the transport header and payload as was quoted
};

struct IcmpMessage {
    IcmpErrorKind kind;
    std::uint8_t type;
    std::uint8_t code;
    std::size_t length;  // the whole message, as the outer header delimits it
    // For the two error kinds, when the quoted IP header (and over IPv6 its
    // extension headers) is whole.
    std::optional<QuotedDatagram> quoted;
};

struct ReceivedIcmp {
    IpAddress source;       // the outer header's: the router or host that answered
    std::uint8_t protocol;  // the outer header's upper-layer protocol
    // When the protocol is the family's ICMP and its type, code and checksum are there.
    std::optional<IcmpMessage> icmp;
};

// Reads a datagram (link header removed) in the given family: nothing when it
// is of the other family or its outer header is not whole.
std::optional<ReceivedIcmp> read_icmp_error(Bytes datagram, IpFamily family);

}  // namespace tarnvale::packets
