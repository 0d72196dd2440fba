#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "engines/hop/hop_table.hpp"
#include "engines/hop/queue_delay.hpp"
#include "runtime/stop_flag.hpp"
#include "runtime/thread_queue.hpp"

namespace tarnvale::engines::hop {

// A reply to a probe with this TTL came from this address.
struct HopSighting {
    std::uint8_t ttl;
    packets::Ipv4 addr;
};

using SightingQueue = runtime::ThreadQueue<HopSighting>;
inline constexpr std::size_t sighting_queue_capacity = 256;

std::array<std::uint8_t, 8> build_echo_request(std::uint16_t identifier, std::uint16_t sequence);

// Whether a datagram received on the raw ICMP socket (IPv4 header first) is the
// echo reply to our request with this identifier and sequence from this router.
bool is_echo_reply(std::span<const std::uint8_t> datagram, packets::Ipv4 from, std::uint16_t identifier,
                   std::uint16_t sequence, packets::Ipv4 router);

struct PingerShared {
    std::shared_ptr<HopTable> table;
    std::shared_ptr<DelayTable> delays;
    std::shared_ptr<SightingQueue> sightings;
    std::shared_ptr<runtime::StopFlag> stop;
};

// The "hop-pinger" thread: pings every router the receiver has seen and stores
// the round-trip times in the hop table and the delay table, until stopped.
void run_pinger(PingerShared shared);

}  // namespace tarnvale::engines::hop
