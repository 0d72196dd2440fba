#pragma once

#include <asio/awaitable.hpp>
#include <string>
#include <unordered_map>

#include "engines/manager.hpp"
#include "ipc/connection.hpp"
#include "ipc/event_queue.hpp"

namespace tarnvale::probe {

// Engines started by name; a later start under the same name replaces the entry.
using EngineTable = std::unordered_map<std::string, engines::EngineHandle>;

// Reads and handles commands one at a time until `shutdown`, the end of the
// connection or a read error. Every command but the read timeout is acknowledged
// before the next one is read.
asio::awaitable<void> run_command_loop(ipc::Connection& connection, const ipc::EventSender& events,
                                       engines::EngineManager& manager, EngineTable& engines);

}  // namespace tarnvale::probe
