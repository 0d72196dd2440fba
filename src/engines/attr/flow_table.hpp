#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engines/attr/hash_mix.hpp"
#include "packets/ip_address.hpp"
#include "packets/ipv4.hpp"
#include "runtime/sharded_map.hpp"

// Byte counting per flow: reading a captured frame's addresses and ports,
// keying both directions of a conversation alike, and the table the
// accumulator adds to and the reporting cycle drains.
namespace tarnvale::engines::attr {

struct FrameEndpoints {
    packets::IpAddress source;
    packets::IpAddress destination;
    std::uint16_t source_port = 0;
    std::uint16_t destination_port = 0;
    std::uint8_t protocol = packets::protocol_tcp;  // TCP or UDP: their sockets are apart
};

// The ports of fragmented datagrams, learnt from their first fragments, for
// the fragments after it, which carry none: a datagram larger than the path's
// MTU (a VPN's, a game's, a large DNS answer) counts whole to its flow. Keeps
// the newest 256 datagrams; used by one thread.
class FragmentPorts {
public:
    struct Datagram {
        packets::IpAddress source;
        packets::IpAddress destination;
        std::uint32_t identification = 0;
        std::uint8_t protocol = 0;

        bool operator==(const Datagram&) const = default;
    };
    struct Ports {
        std::uint16_t source = 0;
        std::uint16_t destination = 0;
    };

    static constexpr std::size_t capacity = 256;

    void remember(const Datagram& datagram, Ports ports);
    std::optional<Ports> find(const Datagram& datagram) const;

private:
    std::vector<std::pair<Datagram, Ports>> newest_;  // a ring once full
    std::size_t next_ = 0;
};

// The addresses, ports and protocol of a frame whose IP header starts after
// `link_header` bytes. IPv4: the two 16-bit words after the header of a TCP or
// UDP datagram; nothing for any other protocol, or when the frame is too short
// to hold them (see packets::Ipv4View). IPv6: the ports of the TCP or UDP header
// after the extension headers; nothing for any other protocol, and for a chain
// that cannot be followed (see packets::Ipv6View). A fragment after the first
// takes its datagram's ports from `fragments`, which the first fragment
// taught; nothing without them.
std::optional<FrameEndpoints> parse_frame(std::span<const std::uint8_t> frame, std::size_t link_header,
                                          FragmentPorts* fragments = nullptr);

// IPv4: not in 10/8, 127/8, 192.168/16, 172.16/12 or 169.254/16, and neither
// 0.0.0.0 nor the broadcast address. IPv6: not unspecified, loopback,
// link-local (fe80::/10), unique-local (fc00::/7) or multicast (ff00::/8).
// The documentation prefix 2001:db8::/32 counts as public, as the IPv4
// documentation networks do: the test network is built from them.
bool is_public(const packets::IpAddress& address);

struct FlowKey {
    packets::IpAddress addr_a;  // the lower address
    std::uint16_t port_a = 0;
    packets::IpAddress addr_b;
    std::uint16_t port_b = 0;
    bool up = false;  // sent from one of the machine's own addresses
    std::uint8_t protocol = packets::protocol_tcp;

    bool operator==(const FlowKey&) const = default;
};

using LocalAddresses = std::vector<packets::IpAddress>;

FlowKey flow_key_of(const FrameEndpoints& endpoints, const LocalAddresses& local);

}  // namespace tarnvale::engines::attr

template <>
struct std::hash<tarnvale::engines::attr::FlowKey> {
    std::size_t operator()(const tarnvale::engines::attr::FlowKey& key) const noexcept {
        const std::hash<tarnvale::packets::IpAddress> address_hash;
        const std::uint64_t addresses = address_hash(key.addr_a) ^ (std::uint64_t{address_hash(key.addr_b)} << 1);
        const std::uint64_t rest = (std::uint64_t{key.protocol} << 33) | (std::uint64_t{key.port_a} << 17) |
                                   (std::uint64_t{key.port_b} << 1) | (key.up ? 1U : 0U);
        return tarnvale::engines::attr::mixed_hash(addresses, rest);
    }
};

namespace tarnvale::engines::attr {

using FlowSnapshot = std::vector<std::pair<FlowKey, std::uint64_t>>;

// Bytes per flow and direction. The accumulator adds under the flow's shard
// lock; the drain takes each count under the same lock, so a byte counted
// during a drain lands in this cycle or the next, never in both or neither.
class FlowTable {
public:
    void add(const FlowKey& key, std::uint64_t bytes) {
        flows_.update(key, [bytes](std::uint64_t& counted) { counted += bytes; });
    }

    // The non-zero counts, each reset to 0. Entries that counted nothing since
    // the last drain are removed: every new connection is a new flow, and a
    // table that kept them all would grow for as long as the engine runs.
    FlowSnapshot drain();

    std::size_t size() const { return flows_.size(); }

private:
    runtime::ShardedMap<FlowKey, std::uint64_t, 16> flows_;
};

// Counts one captured frame of `wire_length` bytes; false when the frame was
// not counted (unreadable, a later fragment of a datagram whose first was not
// seen, or between two non-public addresses).
bool account_frame(std::span<const std::uint8_t> frame, std::uint32_t wire_length, std::size_t link_header,
                   const LocalAddresses& local, FlowTable& flows, FragmentPorts& fragments);

}  // namespace tarnvale::engines::attr
