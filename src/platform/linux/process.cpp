#include <signal.h>
#include <unistd.h>

#include "platform/process.hpp"

namespace tarnvale::platform {

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

void ignore_broken_pipe_signal() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace tarnvale::platform
