#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "packets/ip_address.hpp"

namespace tarnvale::engines::bandwidth {

// A router's Time Exceeded answer to one train packet, or the target's
// Destination Unreachable answer to one that reached it.
struct TrainAnswer {
    std::uint16_t destination_port;
    std::uint8_t hop;
    unsigned packet_index;
    bool from_target;  // the train reached the target: its hop is at or past the target's distance
};

// Told of every step of reading an answer, for the receiver's log lines.
class AnswerSteps {
public:
    virtual ~AnswerSteps() = default;
    virtual void outer_header_unreadable(std::size_t /*length*/) {}
    virtual void outer_header(const packets::IpAddress& /*source*/, std::uint8_t /*protocol*/) {}
    virtual void icmp_type(std::uint8_t /*type*/) {}
    virtual void time_exceeded(std::size_t /*payload_length*/) {}
    virtual void quoted_header(const packets::IpAddress& /*destination*/, std::uint8_t /*protocol*/) {}
    virtual void destination_mismatch() {}
    virtual void quoted_transport(std::size_t /*header_length*/, std::size_t /*transport_length*/,
                                  std::size_t /*payload_length*/) {}
    virtual void quoted_transport_too_short() {}
    virtual void quoted_ports(std::uint16_t /*destination*/, std::uint16_t /*source*/) {}
};

// Reads a captured datagram (link header removed) in the target's family as
// the ICMP or ICMPv6 Time Exceeded answer to a train packet sent to the target,
// or as the target's own Destination Unreachable answer to one: the quoted UDP
// destination port names the hop and the packet, and the quoted source port
// must be the trains' own. Nothing for anything else.
std::optional<TrainAnswer> parse_train_answer(std::span<const std::uint8_t> datagram,
                                              const packets::IpAddress& target, std::uint16_t source_port,
                                              AnswerSteps& steps);

}  // namespace tarnvale::engines::bandwidth
