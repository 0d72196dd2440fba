#pragma once

#include <asio/awaitable.hpp>
#include <optional>
#include <string_view>

#include "runtime/runtime.hpp"

namespace tarnvale::probe {

// The probe's main task: start-up, the command loop and the exit sequence.
// Returns the process's exit status.
asio::awaitable<int> run_probe(runtime::Runtime& runtime, std::optional<std::string_view> port_argument);

}  // namespace tarnvale::probe
