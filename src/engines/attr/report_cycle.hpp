#pragma once

#include <chrono>

namespace tarnvale::engines::attr {

// The reporting cycle's deadlines, on a fixed grid: a cycle's own work and a
// late wake-up do not stretch every later cycle, so that rates taken over the
// nominal interval are right on average (stretched cycles read every rate high)
// and a cycle's bytes are its rate times the interval, as clients count them.
class ReportCycle {
public:
    using Clock = std::chrono::steady_clock;

    ReportCycle(std::chrono::milliseconds interval, Clock::time_point start)
        : interval_(interval), next_(start + interval) {}

    Clock::time_point next_deadline() const { return next_; }

    // After a cycle's drain at `now`: the next deadline is one interval on; a
    // host that slept through a whole cycle starts the grid again rather than
    // catching up in a burst.
    void drained(Clock::time_point now) {
        next_ += interval_;
        if (next_ <= now) {
            next_ = now + interval_;
        }
    }

private:
    Clock::duration interval_;
    Clock::time_point next_;
};

}  // namespace tarnvale::engines::attr
