#pragma once

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <cstdint>

#include "ipc/event_queue.hpp"

namespace tarnvale::probe {

inline constexpr std::chrono::seconds watchdog_period{2};
inline constexpr std::chrono::milliseconds watchdog_grace{200};

// Polls the client's process; once it is gone, tells the client side, waits a
// moment for the writer, and ends the probe with status 0 at once. Runs detached.
void start_watchdog(const asio::any_io_executor& executor, std::uint32_t client_pid, ipc::EventSender events);

}  // namespace tarnvale::probe
