#pragma once

#include <asio/awaitable.hpp>

#include "engines/engine.hpp"

namespace tarnvale::engines::hop {

// The hop engine: TTL-limited probes in sweeps, the pinger and receiver threads,
// and a hop_loss report every 7 s. Stopping it ends all of them.
asio::awaitable<void> run_hop_engine(EngineConfig config, EngineOutlets outlets);

}  // namespace tarnvale::engines::hop
