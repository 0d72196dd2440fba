#pragma once

#include <chrono>

namespace tarnvale::engines::attr {

// The reporting cycle's clock. Deadlines stay on a fixed grid, so that a cycle's
// own work and late wake-ups do not stretch every cycle; and each cycle's rates
// are taken over the time its snapshot really covers, not the nominal interval
// (a host that wakes the engine late would otherwise read every rate high).
class ReportCycle {
public:
    using Clock = std::chrono::steady_clock;

    ReportCycle(std::chrono::milliseconds interval, Clock::time_point start)
        : interval_(interval), next_(start + interval), last_drain_(start) {}

    Clock::time_point next_deadline() const { return next_; }

    // After a drain at `now`: the seconds the drained snapshot covers. The next
    // deadline is one interval on; a host that slept through a whole cycle
    // starts the grid again rather than catching up in a burst.
    double drained(Clock::time_point now) {
        next_ += interval_;
        if (next_ <= now) {
            next_ = now + interval_;
        }
        const double seconds = std::chrono::duration<double>(now - last_drain_).count();
        last_drain_ = now;
        return seconds;
    }

private:
    Clock::duration interval_;
    Clock::time_point next_;
    Clock::time_point last_drain_;
};

}  // namespace tarnvale::engines::attr
