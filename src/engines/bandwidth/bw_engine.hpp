#pragma once

#include <asio/awaitable.hpp>

#include "engines/engine.hpp"

namespace tarnvale::engines::bandwidth {

// The bandwidth engine: trains of ten packets per hop, the receiver thread, and
// an estimate per hop after its trains. Stopping it ends the receiver too.
asio::awaitable<void> run_bandwidth_engine(EngineConfig config, EngineOutlets outlets);

}  // namespace tarnvale::engines::bandwidth
