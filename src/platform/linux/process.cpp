#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <string>

#include "platform/process.hpp"

namespace tarnvale::platform {

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

std::optional<std::uint32_t> parent_process_id(std::uint32_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return std::nullopt;
    }
    // "PID (COMMAND) STATE PPID ...": the command may hold blanks and parentheses.
    const auto command_end = line.rfind(')');
    if (command_end == std::string::npos || command_end + 4 >= line.size()) {
        return std::nullopt;
    }
    const auto parent_start = line.find(' ', command_end + 2);
    if (parent_start == std::string::npos) {
        return std::nullopt;
    }
    std::uint32_t parent = 0;
    const char* first = line.data() + parent_start + 1;
    const auto [end, error] = std::from_chars(first, line.data() + line.size(), parent);
    if (error != std::errc{} || end == first) {
        return std::nullopt;
    }
    return parent;
}

bool process_is_running(std::uint32_t pid) {
    // /proc/PID/stat: "pid (comm) state ..."; comm may itself hold ") ", so the
    // state follows the last ")". Z (zombie) and X (dead) have exited.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (pid == 0 || !std::getline(stat, text)) {
        return false;
    }
    const auto close = text.rfind(") ");
    if (close == std::string::npos || close + 2 >= text.size()) {
        return false;
    }
    const char state = text[close + 2];
    return state != 'Z' && state != 'X' && state != 'x';
}

void name_current_thread(const std::string& name) {
    // The kernel keeps at most 15 characters.
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

void sleep_until_precise(std::chrono::steady_clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC on Linux, so its time points are the kernel's.
    const auto since_epoch = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    timespec until{static_cast<time_t>(seconds.count()),
                   static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds).count())};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void exit_immediately(int status) { ::_exit(status); }

void ignore_broken_pipe_signal() { ::signal(SIGPIPE, SIG_IGN); }

void bound_allocator_arenas() { ::mallopt(M_ARENA_MAX, 2); }

void prepare_standard_streams() {
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // Opened read-only, so that a write to a closed output still fails (EBADF).
        const int null_device = ::open("/dev/null", O_RDONLY);
        if (null_device >= 0 && null_device != descriptor) {
            ::dup2(null_device, descriptor);
            ::close(null_device);
        }
    }
}

std::error_code write_standard_output(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return std::error_code(written < 0 ? errno : EIO, std::system_category());
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

}  // namespace tarnvale::platform
