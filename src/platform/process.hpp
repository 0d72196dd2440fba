#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace tarnvale::platform {

std::uint32_t current_process_id();

// Writes to a closed pipe or socket must fail with an error, not end the process.
void ignore_broken_pipe_signal();

// Keeps the allocator's arenas few: engines start and end threads for as long
// as the probe runs (weeks, under the exporter), and each new thread may
// otherwise take an arena of its own that keeps the memory it freed resident.
void bound_allocator_arenas();

// Makes the standard streams safe to use before anything else runs. Where the
// parent left standard input, output or error closed, occupies them so that no
// file the process opens later takes their place (a closed output stays
// unwritable: writes to it fail as they would have). Text goes out byte for
// byte: no carriage return is added before a line feed.
void prepare_standard_streams();

// True only for a process that exists and has not exited; a process that may
// not be inspected counts as not running.
bool process_is_running(std::uint32_t pid);

// The process that started `pid`, as the system records it; nothing when the
// process is gone or may not be inspected.
std::optional<std::uint32_t> parent_process_id(std::uint32_t pid);

// Ends the process with the status at once: no destructors, no clean-up.
[[noreturn]] void exit_immediately(int status);

// Names the calling thread (shown by debuggers and /proc).
void name_current_thread(const std::string& name);

// Sleeps until the monotonic clock reaches `deadline`, as precisely as the system allows.
void sleep_until_precise(std::chrono::steady_clock::time_point deadline);

// Writes the text to standard output with one unbuffered write.
std::error_code write_standard_output(std::string_view text);

}  // namespace tarnvale::platform
