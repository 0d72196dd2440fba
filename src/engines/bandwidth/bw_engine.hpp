#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>

#include "engines/engine.hpp"

namespace tarnvale::engines::bandwidth {

inline constexpr std::chrono::milliseconds packet_spacing{5};
inline constexpr std::chrono::milliseconds pause_after_train{500};
inline constexpr std::chrono::seconds train_lifetime{60};

// The wait after a sweep whose last trains went to `last_hop`: the interval and
// the time the trains to the hops beyond it, up to max_hops, would have taken.
// A sweep cut short at the target's distance thus keeps the period of a full
// one, and no router is sent trains more often than when every TTL was swept.
std::chrono::milliseconds rest_after_sweep(std::uint8_t max_hops, std::uint8_t last_hop, std::uint32_t probe_count,
                                           std::uint64_t interval_ms);

// The bandwidth engine: trains of ten packets per hop, the receiver thread, and
// an estimate per hop after its trains. Stopping it ends the receiver too.
asio::awaitable<void> run_bandwidth_engine(EngineConfig config, EngineOutlets outlets);

}  // namespace tarnvale::engines::bandwidth
