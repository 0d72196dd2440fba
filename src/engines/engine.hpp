#pragma once

#include <asio/awaitable.hpp>

#include "engines/engine_config.hpp"
#include "engines/reports.hpp"
#include "ipc/event_queue.hpp"
#include "runtime/engine_threads.hpp"

namespace tarnvale::engines {

// What every engine is given besides its configuration.
struct EngineOutlets {
    ipc::EventSender events;
    ReportSender reports;
    runtime::BlockingExecutor blocking;  // for blocking jobs and for joining the engine's threads
};

// Sends an engine's fatal error event, waiting for room in the event queue.
asio::awaitable<void> send_fatal_error(const EngineOutlets& outlets, const char* engine, const char* code,
                                       std::string message);

// An engine: runs until it ends by itself or its task is cancelled.
using EngineEntry = asio::awaitable<void> (*)(EngineConfig, EngineOutlets);

}  // namespace tarnvale::engines
