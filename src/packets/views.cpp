#include "packets/views.hpp"

#include <algorithm>

#include "packets/byte_order.hpp"

namespace tarnvale::packets {

namespace {

std::size_t declared_header_length(Bytes bytes) {
    return std::size_t{4} * (bytes[0] & 0x0FU);
}

}  // namespace

std::optional<Ipv4View> Ipv4View::read(Bytes bytes) {
    if (bytes.size() < minimum_header) {
        return std::nullopt;
    }
    const std::size_t declared = declared_header_length(bytes);
    const std::size_t header = std::max(declared, minimum_header);
    if (bytes.size() < header) {
        return std::nullopt;
    }
    // The total length counts the declared header; what it leaves after it is the payload.
    const std::size_t total_length = read_u16(bytes, 2);
    const std::size_t declared_payload = total_length > declared ? total_length - declared : 0;
    const std::size_t end = std::min(bytes.size(), header + declared_payload);
    return Ipv4View(bytes, header, bytes.subspan(header, end - header));
}

std::optional<Ipv4View> Ipv4View::read_delimited(Bytes bytes) {
    if (bytes.size() < minimum_header) {
        return std::nullopt;
    }
    const std::size_t header = std::max(declared_header_length(bytes), minimum_header);
    if (bytes.size() < header) {
        return std::nullopt;
    }
    return Ipv4View(bytes, header, bytes.subspan(header));
}

std::uint16_t Ipv4View::identification() const {
    return read_u16(bytes_, 4);
}

std::optional<IcmpView> IcmpView::read(Bytes bytes, std::size_t minimum) {
    if (bytes.size() < std::max<std::size_t>(minimum, 4)) {
        return std::nullopt;
    }
    return IcmpView(bytes);
}

std::optional<std::uint16_t> IcmpView::echo_identifier() const {
    if (bytes_.size() < header_length) {
        return std::nullopt;
    }
    return read_u16(bytes_, 4);
}

std::optional<std::uint16_t> IcmpView::echo_sequence() const {
    if (bytes_.size() < header_length) {
        return std::nullopt;
    }
    return read_u16(bytes_, 6);
}

std::optional<Ipv4View> IcmpView::quoted_datagram() const {
    if (bytes_.size() < header_length) {
        return std::nullopt;
    }
    return Ipv4View::read_delimited(bytes_.subspan(header_length));
}

std::optional<Ipv6View> Ipv6View::read(Bytes bytes) {
    if (bytes.size() < header_length) {
        return std::nullopt;
    }
    const std::size_t declared = read_u16(bytes, 4);
    const std::size_t available = bytes.size() - header_length;
    return Ipv6View(bytes, bytes.subspan(header_length, declared == 0 ? available : std::min(declared, available)));
}

namespace {

constexpr std::uint8_t hop_by_hop = 0;
constexpr std::uint8_t routing = 43;
constexpr std::uint8_t fragment = 44;
constexpr std::uint8_t authentication = 51;
constexpr std::uint8_t destination_options = 60;
constexpr std::uint8_t mobility = 135;
constexpr std::uint8_t host_identity = 139;
constexpr std::uint8_t shim6 = 140;
constexpr std::size_t fragment_header_length = 8;

// The length of an extension header that begins with its next-header byte
// and a length byte; nothing for a header that is not one.
std::optional<std::size_t> extension_length(std::uint8_t header, std::uint8_t length_field) {
    switch (header) {
        case hop_by_hop:
        case routing:
        case destination_options:
        case mobility:
        case host_identity:
        case shim6:
            return (std::size_t{length_field} + 1) * 8;  // in 8-byte units, the first not counted
        case authentication:
            return (std::size_t{length_field} + 2) * 4;  // in 4-byte units, the first two not counted
        case fragment:
            return fragment_header_length;
        default:
            return std::nullopt;
    }
}

// Walks the extension headers of a chain that begins with `header` over
// `rest`. At a whole fragment header, `at_fragment(bytes)` says whether to go
// on. The first header that is no extension header, with its bytes; nothing
// when the chain cannot be followed or `at_fragment` stopped it.
template <typename AtFragment>
std::optional<UpperLayer> walk_extension_headers(std::uint8_t header, Bytes rest, std::size_t most,
                                                 AtFragment at_fragment) {
    for (std::size_t walked = 0; walked <= most; ++walked) {
        const auto length = extension_length(header, rest.size() >= 2 ? rest[1] : 0);
        if (!length) {
            return UpperLayer{header, rest};
        }
        if (rest.size() < *length || (header == fragment && !at_fragment(rest))) {
            return std::nullopt;
        }
        header = rest[0];
        rest = rest.subspan(*length);
    }
    return std::nullopt;
}

std::uint16_t fragment_offset(Bytes fragment_header) { return read_u16(fragment_header, 2) >> 3; }

}  // namespace

std::optional<UpperLayer> Ipv6View::upper_layer() const {
    // A later fragment's upper-layer header is in the first.
    return walk_extension_headers(next_header(), payload_, most_extension_headers,
                                  [](Bytes header) { return fragment_offset(header) == 0; });
}

std::optional<Ipv6Fragment> Ipv6View::fragment() const {
    std::optional<Ipv6Fragment> found;
    walk_extension_headers(next_header(), payload_, most_extension_headers, [&found](Bytes header) {
        found = Ipv6Fragment{read_u32(header, 4), fragment_offset(header), (read_u16(header, 2) & 1U) != 0, header[0]};
        return false;
    });
    return found;
}

std::optional<Ipv6View> IcmpView::quoted_ipv6_packet() const {
    if (bytes_.size() < header_length) {
        return std::nullopt;
    }
    return Ipv6View::read(bytes_.subspan(header_length));
}

std::optional<TransportPorts> TransportPorts::read(Bytes transport) {
    if (transport.size() < 4) {
        return std::nullopt;
    }
    return TransportPorts{read_u16(transport, 0), read_u16(transport, 2)};
}

}  // namespace tarnvale::packets
