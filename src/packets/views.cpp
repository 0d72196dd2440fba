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

std::optional<TransportPorts> TransportPorts::read(Bytes transport) {
    if (transport.size() < 4) {
        return std::nullopt;
    }
    return TransportPorts{read_u16(transport, 0), read_u16(transport, 2)};
}

}  // namespace tarnvale::packets
