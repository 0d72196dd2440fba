#include "engines/attr/flow_table.hpp"

#include <algorithm>

#include "packets/views.hpp"

namespace tarnvale::engines::attr {

namespace {

constexpr unsigned ip_version_6 = 6;

bool carries_ports(std::uint8_t protocol) {
    return protocol == packets::protocol_tcp || protocol == packets::protocol_udp;
}

std::optional<FrameEndpoints> endpoints_of(const packets::IpAddress& source, const packets::IpAddress& destination,
                                           std::uint8_t protocol, packets::Bytes transport) {
    const auto ports = packets::TransportPorts::read(transport);
    if (!ports) {
        return std::nullopt;
    }
    return FrameEndpoints{source, destination, ports->source, ports->destination, protocol};
}

// Where a fragment lies in its datagram.
struct FragmentPlace {
    std::uint32_t identification = 0;
    bool first = false;
    bool more = false;
};

// The endpoints of a fragment of a datagram whose transport header, in the
// first fragment, is `transport`: the first teaches `fragments` its ports, a
// later one learns them there.
std::optional<FrameEndpoints> fragment_endpoints(const packets::IpAddress& source,
                                                 const packets::IpAddress& destination, std::uint8_t protocol,
                                                 packets::Bytes transport, FragmentPlace place,
                                                 FragmentPorts* fragments) {
    const FragmentPorts::Datagram datagram{source, destination, place.identification, protocol};
    if (!place.first) {
        const auto ports = fragments != nullptr ? fragments->find(datagram) : std::nullopt;
        if (!ports) {
            return std::nullopt;
        }
        return FrameEndpoints{source, destination, ports->source, ports->destination, protocol};
    }
    const auto endpoints = endpoints_of(source, destination, protocol, transport);
    if (endpoints && place.more && fragments != nullptr) {
        fragments->remember(datagram, {endpoints->source_port, endpoints->destination_port});
    }
    return endpoints;
}

std::optional<FrameEndpoints> parse_ipv4(packets::Bytes network, FragmentPorts* fragments) {
    const auto datagram = packets::Ipv4View::read(network);
    if (!datagram || !carries_ports(datagram->protocol())) {
        return std::nullopt;
    }
    const packets::IpAddress source(datagram->source());
    const packets::IpAddress destination(datagram->destination());
    if (datagram->fragment_offset() == 0 && !datagram->more_fragments()) {
        return endpoints_of(source, destination, datagram->protocol(), datagram->payload());
    }
    return fragment_endpoints(
        source, destination, datagram->protocol(), datagram->payload(),
        {datagram->identification(), datagram->fragment_offset() == 0, datagram->more_fragments()}, fragments);
}

std::optional<FrameEndpoints> parse_ipv6(packets::Bytes network, FragmentPorts* fragments) {
    const auto packet = packets::Ipv6View::read(network);
    if (!packet) {
        return std::nullopt;
    }
    // Most packets carry their TCP or UDP header right after the fixed one.
    const auto fragment = carries_ports(packet->next_header()) ? std::nullopt : packet->fragment();
    if (fragment && fragment->offset != 0) {
        if (!carries_ports(fragment->next_header)) {
            return std::nullopt;
        }
        return fragment_endpoints(packet->source(), packet->destination(), fragment->next_header, {},
                                  {fragment->identification, false, fragment->more}, fragments);
    }
    const auto upper = packet->upper_layer();
    if (!upper || !carries_ports(upper->protocol)) {
        return std::nullopt;
    }
    if (!fragment) {
        return endpoints_of(packet->source(), packet->destination(), upper->protocol, upper->bytes);
    }
    return fragment_endpoints(packet->source(), packet->destination(), upper->protocol, upper->bytes,
                              {fragment->identification, true, fragment->more}, fragments);
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

void FragmentPorts::remember(const Datagram& datagram, Ports ports) {
    if (newest_.size() < capacity) {
        newest_.emplace_back(datagram, ports);
        return;
    }
    newest_[next_] = {datagram, ports};
    next_ = (next_ + 1) % capacity;
}

std::optional<FragmentPorts::Ports> FragmentPorts::find(const Datagram& datagram) const {
    const auto found = std::find_if(newest_.begin(), newest_.end(),
                                    [&datagram](const auto& entry) { return entry.first == datagram; });
    return found == newest_.end() ? std::nullopt : std::optional(found->second);
}

std::optional<FrameEndpoints> parse_frame(std::span<const std::uint8_t> frame, std::size_t link_header,
                                          FragmentPorts* fragments) {
    if (frame.size() <= link_header) {
        return std::nullopt;
    }
    // The capture passes IPv4 and IPv6 frames only, chosen by their link-layer
    // type; the version field tells the two apart on every link type.
    const auto network = frame.subspan(link_header);
    return (network[0] >> 4) == ip_version_6 ? parse_ipv6(network, fragments) : parse_ipv4(network, fragments);
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
                   const LocalAddresses& local, FlowTable& flows, FragmentPorts& fragments) {
    const auto endpoints = parse_frame(frame, link_header, &fragments);
    if (!endpoints || (!is_public(endpoints->source) && !is_public(endpoints->destination))) {
        return false;
    }
    flows.add(flow_key_of(*endpoints, local), wire_length);
    return true;
}

}  // namespace tarnvale::engines::attr
