#include "engines/answer_budgets.hpp"

#include <algorithm>

namespace tarnvale::engines {

AnswerBudgets::Bucket& AnswerBudgets::refilled(const Responder& responder, Clock::time_point now) {
    const auto [entry, created] = buckets_.try_emplace(responder, Bucket{burst, now});
    Bucket& bucket = entry->second;
    if (!created && now > bucket.updated) {
        const double seconds = std::chrono::duration<double>(now - bucket.updated).count();
        bucket.tokens = std::min(burst, bucket.tokens + seconds * per_second);
        bucket.updated = now;
    }
    return bucket;
}

void AnswerBudgets::spend(const Responder& responder, double answers, Clock::time_point now) {
    const std::lock_guard lock(lock_);
    Bucket& bucket = refilled(responder, now);
    bucket.tokens = std::max(0.0, bucket.tokens - answers);
}

bool AnswerBudgets::can_answer(const Responder& responder, Clock::time_point now) {
    const std::lock_guard lock(lock_);
    return refilled(responder, now).tokens >= 1.0 + timing_allowance;
}

}  // namespace tarnvale::engines
