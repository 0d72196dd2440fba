#include "engines/attr/flow_table.hpp"

#include <algorithm>

#include "packets/views.hpp"

namespace tarnvale::engines::attr {

namespace {

constexpr unsigned ip_version_6 = 6;

std::optional<FrameEndpoints> parse_ipv4(packets::Bytes network) {
    const auto datagram = packets::Ipv4View::read(network);
    if (!datagram || (datagram->protocol() != packets::protocol_tcp && datagram->protocol() != packets::protocol_udp)) {
        return std::nullopt;
    }
    const auto ports = packets::TransportPorts::read(datagram->payload());
    if (!ports) {
        return std::nullopt;
    }
    return FrameEndpoints{packets::IpAddress(datagram->source()), packets::IpAddress(datagram->destination()),
                          ports->source, ports->destination, datagram->protocol()};
}

std::optional<FrameEndpoints> parse_ipv6(packets::Bytes network) {
    const auto packet = packets::Ipv6View::read(network);
    const auto upper = packet ? packet->upper_layer() : std::nullopt;
    if (!upper || (upper->protocol != packets::protocol_tcp && upper->protocol != packets::protocol_udp)) {
        return std::nullopt;
    }
    const auto ports = packets::TransportPorts::read(upper->bytes);
    if (!ports) {
        return std::nullopt;
    }
    return FrameEndpoints{packet->source(), packet->destination(), ports->source, ports->destination, upper->protocol};
}

bool is_public_ipv4(packets::Ipv4 address) {
    using packets::in_network;
    using packets::Ipv4;
    return !(in_network(address, Ipv4(0x0A000000), 8) || in_network(address, Ipv4(0x7F000000), 8) ||
             in_network(address, Ipv4(0xC0A80000), 16) || in_network(address, Ipv4(0xAC100000), 12) ||
             in_network(address, Ipv4(0xA9FE0000), 16) || address == Ipv4() || address == Ipv4(0xFFFFFFFF));
}

constexpr packets::IpAddress ipv6_network(std::uint8_t first, std::uint8_t second) {
    return packets::IpAddress::from_octets({first, second, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
}

}  // namespace

std::optional<FrameEndpoints> parse_frame(std::span<const std::uint8_t> frame, std::size_t link_header) {
    if (frame.size() <= link_header) {
        return std::nullopt;
    }
    // The capture passes IPv4 and IPv6 frames only, chosen by their link-layer
    // type; the version field tells the two apart on every link type.
    const auto network = frame.subspan(link_header);
    return (network[0] >> 4) == ip_version_6 ? parse_ipv6(network) : parse_ipv4(network);
}

bool is_public(const packets::IpAddress& address) {
    if (address.is_v4()) {
        return is_public_ipv4(address.v4());
    }
    return !(address == packets::IpAddress() || address == packets::ipv6_loopback ||
             packets::in_network(address, ipv6_network(0xFE, 0x80), 10) ||
             packets::in_network(address, ipv6_network(0xFC, 0x00), 7) ||
             packets::in_network(address, ipv6_network(0xFF, 0x00), 8));
}

FlowKey flow_key_of(const FrameEndpoints& endpoints, const LocalAddresses& local) {
    const bool up = std::find(local.begin(), local.end(), endpoints.source) != local.end();
    if (endpoints.source <= endpoints.destination) {
        return FlowKey{endpoints.source,  endpoints.source_port, endpoints.destination, endpoints.destination_port, up,
                       endpoints.protocol};
    }
    return FlowKey{endpoints.destination, endpoints.destination_port, endpoints.source, endpoints.source_port, up,
                   endpoints.protocol};
}

FlowSnapshot FlowTable::drain() {
    FlowSnapshot snapshot;
    flows_.visit_or_erase([&snapshot](const FlowKey& key, std::uint64_t& counted) {
        if (counted == 0) {
            return false;  // idle for a whole cycle
        }
        snapshot.emplace_back(key, std::exchange(counted, 0));
        return true;
    });
    return snapshot;
}

bool account_frame(std::span<const std::uint8_t> frame, std::uint32_t wire_length, std::size_t link_header,
                   const LocalAddresses& local, FlowTable& flows) {
    const auto endpoints = parse_frame(frame, link_header);
    if (!endpoints || (!is_public(endpoints->source) && !is_public(endpoints->destination))) {
        return false;
    }
    flows.add(flow_key_of(*endpoints, local), wire_length);
    return true;
}

}  // namespace tarnvale::engines::attr
