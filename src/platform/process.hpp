#pragma once

#include <cstdint>

namespace tarnvale::platform {

std::uint32_t current_process_id();

// Writes to a closed pipe or socket must fail with an error, not end the process.
void ignore_broken_pipe_signal();

}  // namespace tarnvale::platform
