#pragma once

#include <asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/packet_source.hpp"
#include "engines/answer_budgets.hpp"
#include "engines/engine_config.hpp"
#include "engines/reports.hpp"
#include "ipc/event_queue.hpp"
#include "packets/ip_address.hpp"
#include "runtime/engine_threads.hpp"

namespace tarnvale::engines {

// What every engine is given besides its configuration.
struct EngineOutlets {
    ipc::EventSender events;
    ReportSender reports;
    runtime::BlockingExecutor blocking;  // for blocking jobs and for joining the engine's threads
    std::shared_ptr<AnswerBudgets> answer_budgets;  // one for the process, so engines spare each other's answers
    std::shared_ptr<const capture::CaptureOpener> captures;  // how the engines' receivers open their captures
};

// The target's address (an IPv4 or IPv6 address as is; a name through the
// system's resolver, its first IPv4 address or else its first IPv6 one),
// looked up on the pool for blocking jobs. When there is none, sends the
// engine's fatal NO_TARGET error with `no_target_message`.
asio::awaitable<std::optional<packets::IpAddress>> resolve_target(const EngineOutlets& outlets, std::string target,
                                                             std::string_view engine, std::string no_target_message);

// Sends an engine's fatal error event, waiting for room in the event queue.
asio::awaitable<void> send_fatal_error(const EngineOutlets& outlets, std::string_view engine, std::string_view code,
                                       std::string message);

// An engine: runs until it ends by itself or its task is cancelled.
using EngineEntry = asio::awaitable<void> (*)(EngineConfig, EngineOutlets);

}  // namespace tarnvale::engines
