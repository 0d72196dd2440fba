#pragma once

#include <asio/awaitable.hpp>

#include "engines/engine.hpp"

namespace tarnvale::engines::capture {

// Announces that the capture engine is not implemented, then idles until cancelled.
asio::awaitable<void> run_capture_stub(EngineConfig config, EngineOutlets outlets);

}  // namespace tarnvale::engines::capture
