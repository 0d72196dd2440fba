#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace tarnvale::engines {

struct EngineOutlets;

// How often at most a continuing cause of failed sends is told again.
inline constexpr std::chrono::seconds send_failure_notice_period{7};

// Packets an engine built and the system would not send (a local firewall
// rejects them, no route), counted by what they were and the system's error.
// The client hears of a cause when it first appears and then, while it goes
// on, at most once a period with the count since: a firewall that refuses
// every third probe gives a few events a minute, not one per probe.
// Recorded from the engine's task and threads alike.
class SendFailures {
public:
    using Clock = std::chrono::steady_clock;

    struct Notice {
        std::string what;  // "probes", "echo requests", "trains"
        std::error_code cause;
        std::uint64_t count = 0;  // failures since the cause's previous notice
        std::uint64_t total = 0;  // failures of this cause in all
        bool first = false;       // the cause's first notice
    };

    explicit SendFailures(Clock::duration period) : period_(period) {}

    void record(std::string_view what, std::error_code cause);

    // The notices due at `now`: each new cause, and each continuing cause with
    // failures not yet told whose last notice is a period old.
    std::vector<Notice> take_due(Clock::time_point now);

private:
    struct Cause {
        std::uint64_t untold = 0;
        std::uint64_t total = 0;
        std::optional<Clock::time_point> told_at;
    };

    const Clock::duration period_;
    std::mutex lock_;
    std::map<std::pair<std::string, std::error_code>, Cause> causes_;  // guarded by lock_
};

// The message of a notice: what was not sent, the system's error and the counts.
std::string send_failure_message(const SendFailures::Notice& notice);

// Sends the notices due at `now` as the engine's SEND_FAIL error events, not
// fatal: the engine goes on sending.
asio::awaitable<void> report_send_failures(const EngineOutlets& outlets, std::string_view engine,
                                           SendFailures& failures, SendFailures::Clock::time_point now);

}  // namespace tarnvale::engines
