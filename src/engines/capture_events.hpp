#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/receiver.hpp"
#include "engines/engine.hpp"
#include "runtime/engine_threads.hpp"
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

// Starts an engine's receiver thread, which runs `receive` on a capture of
// `device` (chosen from the device list when unset), and waits until the
// capture runs; from then on its read failures are reported beside the engine
// task. False, with the engine's error sent, when the thread cannot be started
// or the capture cannot be opened. A device it chose follows the host's
// network (see capture::NetworkFollowing), preferring the one that holds the
// source address of `path` when given.
asio::awaitable<bool> start_receiver(const EngineOutlets& outlets, EngineIdentity engine,
                                     runtime::EngineThreads& threads, const std::optional<std::string>& device,
                                     std::string_view thread_name, std::string_view failure,
                                     std::function<void(const capture::ReceiverCapture&)> receive,
                                     std::shared_ptr<const PathRoute> path = nullptr);

}  // namespace tarnvale::engines
