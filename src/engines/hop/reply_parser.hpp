#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "packets/ipv4.hpp"

namespace tarnvale::engines::hop {

struct ProbeReply {
    std::uint16_t probe_id;
    packets::Ipv4 source;
};

struct ParsedReply {
    // Set for every Time Exceeded message, matched or not (it is logged).
    std::optional<packets::Ipv4> time_exceeded_from;
    // Set when the message quotes one of our probes to the target.
    std::optional<ProbeReply> reply;
};

// Reads an ICMP Time Exceeded or Destination Unreachable message from a
// captured IPv4 datagram (the link header already removed). The quoted header
// must be a UDP datagram to the target whose source port belongs to the quoted
// identification, so that nothing but our own probes is matched.
ParsedReply parse_probe_reply(std::span<const std::uint8_t> datagram, packets::Ipv4 target);

}  // namespace tarnvale::engines::hop
