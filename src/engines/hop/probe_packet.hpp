#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "packets/ip_address.hpp"
#include "packets/ports.hpp"
#include "packets/udp_datagram.hpp"

namespace tarnvale::engines::hop {

// Two payload bytes: the word that makes the probe's UDP checksum come out at its id.
inline constexpr std::size_t ttl_probe_payload = 2;
inline constexpr std::size_t ttl_probe_size = packets::udp_datagram_size(packets::IpFamily::v4, ttl_probe_payload);
inline constexpr std::size_t ttl_probe_size_ipv6 = packets::udp_datagram_size(packets::IpFamily::v6, ttl_probe_payload);

// What a router that balances per flow hashes of a probe beside its addresses
// and protocol (and, over IPv6, its flow label, always 0): the same for every
// probe of the flow, so that all of them take one path.
struct ProbeFlow {
    std::uint16_t source_port;  // the engine's own UDP port, held while it runs
    std::uint16_t destination_port = packets::traceroute_base_port;
};

// The engine probes this many flows, so that each path of a route that
// balances flows over parallel links is found by one of them: with 8, one of
// two equal paths goes unfound on 1 route in 256, one of four on 1 in 10.
inline constexpr std::uint8_t probe_flow_count = 8;

// The engine's probe flows: all from its own UDP port, each to a destination
// port of its own from the traceroute base port on, so that they differ in
// nothing but that port.
struct ProbeFlows {
    std::uint16_t source_port;
    std::uint8_t count = probe_flow_count;

    constexpr ProbeFlow flow(std::uint8_t index) const {
        return ProbeFlow{source_port, static_cast<std::uint16_t>(packets::traceroute_base_port + index)};
    }

    // The flow whose ports these are; nothing for ports no flow has.
    constexpr std::optional<std::uint8_t> index_of(std::uint16_t source, std::uint16_t destination) const {
        if (source != source_port || destination < packets::traceroute_base_port ||
            destination - packets::traceroute_base_port >= count) {
            return std::nullopt;
        }
        return static_cast<std::uint8_t>(destination - packets::traceroute_base_port);
    }
};

// Probe ids in turn from a first one, wrapping round and skipping 0: a probe
// carries its id as its UDP checksum, where 0 would mean "no checksum" over
// IPv4 and is not allowed over IPv6.
class ProbeIds {
public:
    constexpr explicit ProbeIds(std::uint16_t first) : next_(first) {}

    constexpr std::uint16_t take() {
        if (next_ == 0) {
            ++next_;
        }
        return next_++;
    }

private:
    std::uint16_t next_;
};

// The target's port that TCP probes ask: the one that servers most often
// listen on; a closed port's reset answers as well.
inline constexpr std::uint16_t target_tcp_port = 443;
// As far as the host's own TCP sends: a route that grows by a hop or two
// loses none of them.
inline constexpr std::uint8_t tcp_probe_ttl = 64;

// A TCP SYN to the target's port from the engine's own TCP port, which the
// target's kernel answers (with a SYN-ACK or a reset that acknowledges the
// probe id as its sequence number) under no limit on ICMP. It goes as far as
// `ttl`; the host's kernel resets the half-open connection a SYN-ACK offers.
std::vector<std::uint8_t> build_tcp_probe(std::uint16_t probe_id, std::uint8_t ttl, std::uint16_t source_port,
                                          const packets::IpAddress& source, const packets::IpAddress& target);

// The TTL-limited UDP probe of a flow, in the target's family: the ports are
// the flow's and the probe id (1 to 0xFFFF, as ProbeIds gives them) is the UDP
// checksum, made to verify by the 2-byte payload, so that no field a balancer
// hashes changes from one probe to the next. IPv4: a 20-byte header (don't
// fragment, the probe id as identification too). IPv6: a 40-byte header with
// the TTL as its hop limit, traffic class and flow label 0.
std::vector<std::uint8_t> build_ttl_probe(std::uint16_t probe_id, std::uint8_t ttl, const ProbeFlow& flow,
                                          const packets::IpAddress& source, const packets::IpAddress& target);

}  // namespace tarnvale::engines::hop
