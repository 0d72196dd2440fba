#include "engines/attr/flow_table.hpp"

#include <algorithm>

#include "packets/byte_order.hpp"

namespace tarnvale::engines::attr {

std::optional<FrameEndpoints> parse_frame(std::span<const std::uint8_t> frame, std::size_t link_header) {
    constexpr std::size_t minimum_header = 20;
    if (frame.size() < link_header + minimum_header) {
        return std::nullopt;
    }
    const auto datagram = frame.subspan(link_header);
    const std::size_t declared_header = 4U * (datagram[0] & 0x0FU);
    const std::size_t header = std::max(declared_header, minimum_header);
    const std::size_t total_length = packets::read_u16(datagram, 2);
    const std::size_t declared_end = header + (total_length > declared_header ? total_length - declared_header : 0);
    const std::size_t end = std::min(datagram.size(), declared_end);
    if (datagram.size() <= header || end < header + 4) {
        return std::nullopt;
    }
    return FrameEndpoints{packets::read_u32(datagram, 12), packets::read_u32(datagram, 16),
                          packets::read_u16(datagram, header), packets::read_u16(datagram, header + 2)};
}

bool is_public(packets::Ipv4 address) {
    using packets::in_network;
    return !(in_network(address, 0x0A000000, 8) || in_network(address, 0x7F000000, 8) ||
             in_network(address, 0xC0A80000, 16) || in_network(address, 0xAC100000, 12) ||
             in_network(address, 0xA9FE0000, 16) || address == 0 || address == 0xFFFFFFFF);
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
