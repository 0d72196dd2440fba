#include "engines/aggregator/evaluation_schedule.hpp"

namespace tarnvale::engines::aggregator {

std::chrono::milliseconds EvaluationSchedule::wait(Clock::time_point now) const {
    return now - last_evaluation_ >= evaluation_period ? report_pause : evaluation_period;
}

bool EvaluationSchedule::take_evaluation(Clock::time_point now, bool timed_out) {
    if (!timed_out || now - last_evaluation_ < evaluation_period) {
        return false;
    }
    last_evaluation_ = now;
    return true;
}

bool EvaluationSchedule::take_latency(Clock::time_point now) {
    if (last_latency_ && now - *last_latency_ < evaluation_period) {
        return false;
    }
    last_latency_ = now;
    return true;
}

}  // namespace tarnvale::engines::aggregator
