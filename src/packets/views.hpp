#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "packets/ip_address.hpp"
#include "packets/ipv4.hpp"

// Read-only views over received bytes. Each is made only by its `read`, which
// checks every length the view's accessors rely on, so an accessor never reads
// past the bytes it was given.
namespace tarnvale::packets {

using Bytes = std::span<const std::uint8_t>;

// An IPv4 datagram. Its header is 4 × IHL bytes, raised to 20 when the field
// says less (neither version nor IHL is trusted further: the capture filter or
// the socket chose the packets). The payload ends where the total length says,
// or where the bytes end if sooner.
class Ipv4View {
public:
    static constexpr std::size_t minimum_header = 20;

    // A datagram from a captured frame, whose link layer may have padded it:
    // the header must be whole; the payload, possibly empty, ends where the
    // total length says.
    static std::optional<Ipv4View> read(Bytes bytes);
    // Bytes that end where the datagram, or the part of it that was kept,
    // ends: one from a raw socket, or the one an ICMP error quotes (whose total
    // length is the original's). The header must be whole; the rest is payload.
    static std::optional<Ipv4View> read_delimited(Bytes bytes);

    std::uint16_t identification() const;
    // Where the datagram's bytes lie in the one it is a fragment of, in 8-byte
    // units (0 for a first or only fragment), and whether more fragments follow.
    std::uint16_t fragment_offset() const { return static_cast<std::uint16_t>((bytes_[6] & 0x1FU) << 8 | bytes_[7]); }
    bool more_fragments() const { return (bytes_[6] & 0x20U) != 0; }
    std::uint8_t ttl() const { return bytes_[8]; }
    std::uint8_t protocol() const { return bytes_[9]; }
    Ipv4 source() const { return Ipv4::from_wire(bytes_, 12); }
    Ipv4 destination() const { return Ipv4::from_wire(bytes_, 16); }
    std::size_t header_length() const { return header_length_; }
    Bytes payload() const { return payload_; }

private:
    Ipv4View(Bytes bytes, std::size_t header_length, Bytes payload)
        : bytes_(bytes), header_length_(header_length), payload_(payload) {}

    Bytes bytes_;
    std::size_t header_length_;
    Bytes payload_;
};

// The header after an IPv6 packet's extension headers, and its protocol.
struct UpperLayer {
    std::uint8_t protocol;
    Bytes bytes;  // from the header's first byte to the payload's end
};

// An IPv6 packet's fragment header: which datagram the fragment is of, and
// where in it the fragment's bytes begin (a first fragment's at 0).
struct Ipv6Fragment {
    std::uint32_t identification;
    std::uint16_t offset;  // in 8-byte units
    bool more;
    std::uint8_t next_header;  // of the fragmentable part: in a later fragment, the datagram's upper layer
};

// An IPv6 packet: the fixed 40-byte header, then extension headers and the
// upper-layer header. The payload ends where the payload length says, or
// where the bytes end if sooner; a length of 0 (a jumbogram's) runs to the end.
class Ipv6View {
public:
    static constexpr std::size_t header_length = 40;
    // At most this many extension headers are walked: more is no packet a host sends.
    static constexpr std::size_t most_extension_headers = 8;

    // The fixed header must be whole.
    static std::optional<Ipv6View> read(Bytes bytes);

    std::uint8_t next_header() const { return bytes_[6]; }
    std::uint8_t hop_limit() const { return bytes_[7]; }
    IpAddress source() const { return IpAddress::from_wire(bytes_, 8); }
    IpAddress destination() const { return IpAddress::from_wire(bytes_, 24); }
    Bytes payload() const { return payload_; }
    // The first header after the extension headers (hop-by-hop, routing,
    // fragment, destination options, authentication, mobility, HIP, shim6),
    // with its protocol number: the caller takes the ones it reads (ESP, say,
    // hides what follows it). Nothing when the chain cannot be followed in
    // these bytes (cut off, or longer than most_extension_headers), or when
    // this is a fragment other than the first, which holds no upper-layer header.
    std::optional<UpperLayer> upper_layer() const;
    // The fragment header of a fragment, first or later; nothing for a packet
    // that is not one, or whose chain cannot be followed to it.
    std::optional<Ipv6Fragment> fragment() const;

private:
    Ipv6View(Bytes bytes, Bytes payload) : bytes_(bytes), payload_(payload) {}

    Bytes bytes_;
    Bytes payload_;
};

inline constexpr std::uint8_t icmp_echo_reply = 0;
inline constexpr std::uint8_t icmp_destination_unreachable = 3;
inline constexpr std::uint8_t icmp_echo_request = 8;
inline constexpr std::uint8_t icmp_time_exceeded = 11;
inline constexpr std::uint8_t icmpv6_destination_unreachable = 1;
inline constexpr std::uint8_t icmpv6_time_exceeded = 3;
inline constexpr std::uint8_t icmpv6_echo_request = 128;
inline constexpr std::uint8_t icmpv6_echo_reply = 129;

// An ICMP message: type, code and checksum, then four bytes whose meaning the
// type gives (an echo's identifier and sequence number), then the body.
class IcmpView {
public:
    static constexpr std::size_t header_length = 8;

    // A message of at least `minimum` bytes (4 by default: type to checksum).
    static std::optional<IcmpView> read(Bytes bytes, std::size_t minimum = 4);

    std::uint8_t type() const { return bytes_[0]; }
    std::uint8_t code() const { return bytes_[1]; }
    std::size_t length() const { return bytes_.size(); }
    // Both need the whole 8-byte header.
    std::optional<std::uint16_t> echo_identifier() const;
    std::optional<std::uint16_t> echo_sequence() const;
    // What an ICMP error message quotes of the datagram that caused it.
    std::optional<Ipv4View> quoted_datagram() const;
    // What an ICMPv6 error message quotes of the packet that caused it.
    std::optional<Ipv6View> quoted_ipv6_packet() const;

private:
    explicit IcmpView(Bytes bytes) : bytes_(bytes) {}

    Bytes bytes_;
};

// The source and destination ports at the start of a UDP or TCP header.
struct TransportPorts {
    std::uint16_t source;
    std::uint16_t destination;

    static std::optional<TransportPorts> read(Bytes transport);
};

}  // namespace tarnvale::packets
