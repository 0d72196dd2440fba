#pragma once

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/packet_source.hpp"
#include "engines/answer_budgets.hpp"
#include "engines/engine_config.hpp"
#include "engines/path_loss.hpp"
#include "engines/path_route.hpp"
#include "engines/reports.hpp"
#include "ipc/event_queue.hpp"
#include "packets/ip_address.hpp"
#include "platform/raw_sockets.hpp"
#include "runtime/engine_threads.hpp"

namespace tarnvale::engines {

class ProbeNetwork;

// What every engine is given besides its configuration.
struct EngineOutlets {
    ipc::EventSender events;
    ReportSender reports;
    runtime::BlockingExecutor blocking;             // for blocking jobs and for joining the engine's threads
    std::shared_ptr<AnswerBudgets> answer_budgets;  // one for the process, so engines spare each other's answers
    std::shared_ptr<PathLoss> path_loss;            // one for the process: the hop engine's figure, for attr
    std::shared_ptr<const capture::CaptureOpener> captures;  // how the engines' receivers open their captures
    // How many times the host's addresses, routes or links have changed and
    // settled so far (one count for the process): an engine looks at its route
    // again when it moves.
    std::function<std::uint64_t()> network_generation;
};

// An engine as its failures name it: its name in events and its log target.
struct EngineIdentity {
    std::string_view name;
    std::string_view log_target;
};

// The target's address (an IPv4 or IPv6 address as is; a name through the
// system's resolver, its first IPv4 address or else its first IPv6 one),
// looked up on the pool for blocking jobs. When there is none, sends the
// engine's fatal NO_TARGET error with `no_target_message`.
asio::awaitable<std::optional<packets::IpAddress>> resolve_target(const EngineOutlets& outlets, std::string target,
                                                                  std::string_view engine,
                                                                  std::string no_target_message);

// The local address the engine's packets leave from toward the target. When
// the system has none (no route), logs it and sends the engine's fatal
// NO_ROUTE error: the engine then ends, and the probe goes on.
asio::awaitable<std::optional<packets::IpAddress>> find_source(const EngineOutlets& outlets,
                                                               const ProbeNetwork& network, EngineIdentity engine,
                                                               const packets::IpAddress& target);

// Looks at the route to the target again when it is due (PathRoute::due),
// and tells the client and the log when the engine can no longer measure the
// path (a "no_route" path_status) or can again ("restored", also when it
// measures from another source address now).
asio::awaitable<PathRoute::Change> recheck_route(const EngineOutlets& outlets, const ProbeNetwork& network,
                                                 EngineIdentity engine, const packets::IpAddress& target,
                                                 PathRoute& route);

// A UDP port of the target's family, held for the engine while it runs: its
// packets leave from it, so that their answers are told apart from another
// program's. When the system gives none, logs it and sends the engine's fatal
// SOCKET_CREATE_FAIL error: the engine then ends, and the probe goes on.
asio::awaitable<std::optional<platform::ReservedPort>> hold_udp_port(const EngineOutlets& outlets,
                                                                     EngineIdentity engine,
                                                                     const packets::IpAddress& target);

// Starts one of the engine's threads. When the system refuses it, logs
// `failure` with the system's error and sends the engine's fatal
// THREAD_START_FAIL error; false then, and the engine ends (its threads already
// started stop with it) while the probe goes on. Callers name `body` before the
// co_await: GCC 12 can destroy a temporary built inside it twice.
asio::awaitable<bool> start_thread(const EngineOutlets& outlets, EngineIdentity engine, runtime::EngineThreads& threads,
                                   std::string_view thread_name, std::string_view failure, std::function<void()> body);

// Sends an engine's error event, waiting for room in the event queue.
asio::awaitable<void> send_error(const EngineOutlets& outlets, std::string_view engine, std::string_view code,
                                 std::string message, bool fatal);

// Sends an engine's fatal error event: the engine ends after it.
asio::awaitable<void> send_fatal_error(const EngineOutlets& outlets, std::string_view engine, std::string_view code,
                                       std::string message);

// An engine: runs until it ends by itself or its task is cancelled.
using EngineEntry = asio::awaitable<void> (*)(EngineConfig, EngineOutlets);

}  // namespace tarnvale::engines
