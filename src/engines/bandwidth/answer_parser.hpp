#pragma once

#include <cstdint>
#include <optional>

#include "packets/icmp_error.hpp"
#include "packets/ip_address.hpp"

namespace tarnvale::engines::bandwidth {

// A router's Time Exceeded answer to one train packet, or the target's
// Destination Unreachable answer to one that reached it.
struct TrainAnswer {
    std::uint16_t train_id;
    unsigned packet_index;
    std::uint8_t flow;        // from the quoted destination port
    bool from_target;         // the train reached the target: its hop is at or past the target's distance
    packets::IpAddress from;  // the router or target that answered
};

// The target's own Destination Unreachable: one of the trains reached it.
bool is_target_unreachable(const packets::ReceivedIcmp& received, const packets::IpAddress& target);

// A received ICMP or ICMPv6 message (read in the target's family) as the Time
// Exceeded answer to a train packet sent to the target, or as the target's own
// Destination Unreachable answer to one: the quoted datagram must be UDP of the
// trains' flow (our source port, the trains' destination port) with its header
// whole, and its checksum a train tag, which names the train and the packet.
// Nothing for anything else.
std::optional<TrainAnswer> match_train_answer(const packets::ReceivedIcmp& received, const packets::IpAddress& target,
                                              std::uint16_t source_port);

}  // namespace tarnvale::engines::bandwidth
