#include "engines/attr/flow_table.hpp"

#include <algorithm>

#include "packets/views.hpp"

namespace tarnvale::engines::attr {

std::optional<FrameEndpoints> parse_frame(std::span<const std::uint8_t> frame, std::size_t link_header) {
    if (frame.size() < link_header) {
        return std::nullopt;
    }
    const auto datagram = packets::Ipv4View::read(frame.subspan(link_header));
    const auto ports = datagram ? packets::TransportPorts::read(datagram->payload()) : std::nullopt;
    if (!ports) {
        return std::nullopt;
    }
    return FrameEndpoints{datagram->source(), datagram->destination(), ports->source, ports->destination};
}

bool is_public(packets::Ipv4 address) {
    using packets::in_network;
    using packets::Ipv4;
    return !(in_network(address, Ipv4(0x0A000000), 8) || in_network(address, Ipv4(0x7F000000), 8) ||
             in_network(address, Ipv4(0xC0A80000), 16) || in_network(address, Ipv4(0xAC100000), 12) ||
             in_network(address, Ipv4(0xA9FE0000), 16) || address == Ipv4() || address == Ipv4(0xFFFFFFFF));
}

FlowKey flow_key_of(const FrameEndpoints& endpoints, const LocalAddresses& local) {
    const bool up = std::find(local.begin(), local.end(), endpoints.source) != local.end();
    if (endpoints.source <= endpoints.destination) {
        return FlowKey{endpoints.source, endpoints.source_port, endpoints.destination, endpoints.destination_port, up};
    }
    return FlowKey{endpoints.destination, endpoints.destination_port, endpoints.source, endpoints.source_port, up};
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
