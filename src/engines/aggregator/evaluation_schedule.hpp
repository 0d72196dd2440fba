#pragma once

#include <chrono>
#include <optional>

namespace tarnvale::engines::aggregator {

inline constexpr std::chrono::seconds evaluation_period{30};
// Once an evaluation is due, it waits for this long a pause in the reports:
// the hop engine sends a cycle's reports one right after another, and an
// evaluation among them would judge some hops by the new cycle and others by
// the one before (a router that has begun to answer for another at a hop's
// TTL shows only in that hop's report of the new cycle).
inline constexpr std::chrono::milliseconds report_pause{200};

// When the aggregator judges: the loss diagnosis at most once per evaluation
// period, at the first pause in the reports once due; a latency event as soon
// as a queue is located, then at most once per period while it stands. The
// diagnosis simulation keeps the same schedule on its simulated clock.
class EvaluationSchedule {
public:
    using Clock = std::chrono::steady_clock;

    explicit EvaluationSchedule(Clock::time_point start) : last_evaluation_(start) {}

    // How long to wait for the next report, from `now`.
    std::chrono::milliseconds wait(Clock::time_point now) const;
    // Whether to evaluate at `now`, where the wait for a report ended
    // (`timed_out`: it ended without one); if so, the evaluation is recorded.
    bool take_evaluation(Clock::time_point now, bool timed_out);
    // Whether a latency event may go at `now`; if so, it is recorded.
    bool take_latency(Clock::time_point now);

private:
    Clock::time_point last_evaluation_;
    std::optional<Clock::time_point> last_latency_;
};

}  // namespace tarnvale::engines::aggregator
