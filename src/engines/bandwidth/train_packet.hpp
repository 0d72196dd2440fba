#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "packets/ip_address.hpp"
#include "packets/ports.hpp"

// The packets of a bandwidth train: ten 1400-byte UDP datagrams whose TTL (or
// hop limit) is the hop measured. Over IPv6 they are as long: the larger header
// leaves less payload.
//
// Routers that balance traffic over parallel links per flow hash the addresses,
// the protocol and both ports (over IPv6 the flow label and traffic class too),
// so every packet of a train has the same ones: a train crosses one link and
// measures it. Trains come in flows that differ only in the destination port,
// so that the branches of a balanced route are each crossed by some flow's
// trains. Train and packet are told apart where balancers do not look: the UDP
// checksum, and over IPv4 the identification too.
namespace tarnvale::engines::bandwidth {

inline constexpr unsigned packets_per_train = 10;
inline constexpr std::size_t train_packet_size = 1400;
// No service listens there, so the target answers a train that reaches it with
// Port Unreachable. The hop engine's probes go to it too, from another source port.
// Flow 0's trains go to it; flow f's to the port f above it.
inline constexpr std::uint16_t train_destination_port = packets::traceroute_base_port;

// The trains' flows, as many as the hop engine's probe flows: with 8, the
// branch beside flow 0's of a route balanced over two equal ones is crossed by
// none of the others on 1 route in 128 (flows 1 to 7 all follow flow 0).
// Each flow beside flow 0 is measured every 7th sweep (see train_flows.hpp):
// more flows would leave each longer between its measurements.
inline constexpr std::uint8_t train_flow_count = 8;

constexpr std::uint16_t train_flow_port(std::uint8_t flow) {
    return static_cast<std::uint16_t>(train_destination_port + flow);
}

// The flow whose trains go to this destination port; nothing for another port.
constexpr std::optional<std::uint8_t> train_flow_of_port(std::uint16_t destination_port) {
    if (destination_port < train_destination_port || destination_port - train_destination_port >= train_flow_count) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(destination_port - train_destination_port);
}
inline constexpr unsigned train_numbers = 256;

// What names one packet of one train: its tag, 0x8000 | (train * 10 + index),
// from 0x8000 to 0x89FF. Never 0, the UDP checksum that means "none" over IPv4
// and is not allowed over IPv6.
inline constexpr std::uint16_t first_train_tag = 0x8000;

constexpr std::uint16_t train_tag(std::uint16_t train_id, unsigned packet_index) {
    return static_cast<std::uint16_t>(first_train_tag | (train_id * packets_per_train + packet_index));
}

struct TrainPacketName {
    std::uint16_t train_id;
    unsigned packet_index;
};

// The train and packet a tag names; nothing for a number outside the trains' tags.
std::optional<TrainPacketName> train_packet_of(std::uint16_t tag);

// In the target's family, from the engine's own UDP port to the flow's
// destination port; the tag is the UDP checksum (the payload's first two bytes
// make it verify) and, over IPv4, the identification.
std::vector<std::uint8_t> build_train_packet(std::uint16_t train_id, std::uint8_t hop, unsigned packet_index,
                                             const packets::IpAddress& source, const packets::IpAddress& target,
                                             std::uint16_t source_port, std::uint8_t flow = 0);

// Train numbers 0 to 255, in turn.
class TrainCounter {
public:
    std::uint16_t next() {
        const std::uint16_t id = next_;
        next_ = static_cast<std::uint16_t>((next_ + 1) % train_numbers);
        return id;
    }

private:
    std::uint16_t next_ = 0;
};

}  // namespace tarnvale::engines::bandwidth
