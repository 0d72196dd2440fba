#include "answer_policy.hpp"

#include <algorithm>

namespace tarnvale::sim {

bool AnswerLimit::allows(AnswerKind kind, double seconds, Random& random) {
    if (!rule_.applies_to.has(kind)) {
        return true;
    }
    others_until(seconds, random);
    return bucket_.take(seconds);
}

void AnswerLimit::others_until(double seconds, Random& random) {
    if (!rule_.global || rule_.others_per_s <= 0) {
        return;
    }
    if (!next_other_s_) {
        next_other_s_ = exponential_draw(random, rule_.others_per_s);
    }
    while (*next_other_s_ < seconds) {
        bucket_.take(*next_other_s_);
        *next_other_s_ += exponential_draw(random, rule_.others_per_s);
    }
}

bool AnswerPolicy::answers(AnswerKind kind, double seconds, Random& random) {
    AnswerBehaviour* behaviour = behaviours_.at(seconds);
    if (behaviour == nullptr) {
        return true;
    }
    if (behaviour->silent) {
        return false;
    }
    const double share = kind == AnswerKind::echo ? behaviour->echo_share : behaviour->share;
    if (share < 1.0 && unit_draw(random) >= share) {
        return false;
    }
    // Every limit must allow it; the ones that do are spent even when a later one declines,
    // as a router's policer and its ICMP rate limit count apart.
    bool allowed = true;
    for (AnswerLimit& limit : behaviour->limits) {
        allowed = limit.allows(kind, seconds, random) && allowed;
    }
    return allowed;
}

double AnswerPolicy::hold_ms(double seconds, Random& random) const {
    const AnswerBehaviour* behaviour = behaviours_.at(seconds);
    if (behaviour == nullptr) {
        return 0;
    }
    double held = behaviour->hold_ms ? uniform_draw(random, behaviour->hold_ms->first, behaviour->hold_ms->second) : 0;
    if (behaviour->slow_with_queue) {
        held += behaviour->slow_with_queue->queue_delay_ms(seconds, random);
    }
    return held;
}

std::shared_ptr<AnswerPolicy> answering_share(double share) {
    Steps<AnswerBehaviour> behaviours;
    behaviours.add(0.0, AnswerBehaviour{.share = share, .echo_share = share});
    return std::make_shared<AnswerPolicy>(std::move(behaviours));
}

}  // namespace tarnvale::sim
