#pragma once

#include <cstdint>
#include <memory>

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
