#pragma once

#include <asio/awaitable.hpp>

#include "engines/engine.hpp"

namespace tarnvale::engines::attr {

// The attribution engine: the accumulator thread counts bytes per flow, and
// every poll interval the counts become per-process rates, `app_traffic`
// events and uplink reports. Stopping it ends the accumulator too.
asio::awaitable<void> run_attr_engine(EngineConfig config, EngineOutlets outlets);

}  // namespace tarnvale::engines::attr
