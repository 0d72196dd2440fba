#pragma once

#include <asio/awaitable.hpp>

#include "engines/engine_config.hpp"
#include "engines/reports.hpp"
#include "ipc/event_queue.hpp"

namespace tarnvale::engines::capture {

// Announces that the capture engine is not implemented, then idles until cancelled.
asio::awaitable<void> run_capture_stub(EngineConfig config, ipc::EventSender events, ReportSender reports);

}  // namespace tarnvale::engines::capture
