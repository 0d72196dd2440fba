#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "engines/hop/probe_packet.hpp"
#include "packets/ip_address.hpp"

namespace tarnvale::engines::hop {

struct ProbeReply {
    std::uint16_t probe_id;
    packets::IpAddress source;
    std::uint8_t flow = 0;  // the probe flow the quoted datagram belongs to
};

struct ParsedReply {
    // Set for every Time Exceeded message, matched or not (it is logged).
    std::optional<packets::IpAddress> time_exceeded_from;
    // Set when the message quotes one of our probes to the target.
    std::optional<ProbeReply> reply;
};

// Reads an ICMP or ICMPv6 Time Exceeded or Destination Unreachable message, in
// the target's family, from a captured datagram (the link header already
// removed). The quoted datagram must be UDP to the target with the ports of
// one of the flows and carry a probe id as its UDP checksum (over IPv4, as its
// identification too), so that nothing but our own probes is matched.
ParsedReply parse_probe_reply(std::span<const std::uint8_t> datagram, const packets::IpAddress& target,
                              const ProbeFlows& flows);

// Reads the target's answer to one of our TCP probes from a captured datagram:
// a SYN-ACK or a reset from the target's probed port to `own_port` that
// acknowledges a probe id (the probe's sequence number, plus one for its SYN).
std::optional<ProbeReply> parse_tcp_answer(std::span<const std::uint8_t> datagram, const packets::IpAddress& target,
                                           std::uint16_t own_port);

}  // namespace tarnvale::engines::hop
