#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <memory>
#include <string_view>

#include "capture/receiver.hpp"
#include "engines/engine.hpp"
#include "runtime/stop_flag.hpp"

// How an engine task tells the client what became of its receiver's capture.
namespace tarnvale::engines {

// Waits, for a bounded time, until the receiver's capture runs or cannot be
// opened. When it cannot, sends the engine's fatal capture-open error and
// returns false.
asio::awaitable<bool> await_capture(const capture::CaptureStatus& status, const EngineOutlets& outlets,
                                    std::string_view engine);

// How often the reports below look at the receiver's state.
inline constexpr std::chrono::milliseconds capture_failure_poll{200};

// Beside the engine task until `stop` is raised: each time the capture stops
// delivering, one error event (not fatal: the receiver opens it again). The
// engine name is one of the constants of the wire names.
void spawn_capture_failure_reports(const asio::any_io_executor& executor,
                                   std::shared_ptr<const capture::CaptureStatus> status, ipc::EventSender events,
                                   std::string_view engine, std::shared_ptr<runtime::StopFlag> stop);

}  // namespace tarnvale::engines
