#pragma once

#include <asio/awaitable.hpp>
#include <chrono>

#include "engines/engine.hpp"

namespace tarnvale::engines::bandwidth {

inline constexpr std::chrono::milliseconds packet_spacing{5};
inline constexpr std::chrono::milliseconds pause_after_train{500};
inline constexpr std::chrono::seconds train_lifetime{60};

// The bandwidth engine: trains of ten packets per hop, the receiver thread, and
// an estimate per hop after its trains. Stopping it ends the receiver too.
asio::awaitable<void> run_bandwidth_engine(EngineConfig config, EngineOutlets outlets);

}  // namespace tarnvale::engines::bandwidth
