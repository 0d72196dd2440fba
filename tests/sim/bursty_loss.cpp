#include "bursty_loss.hpp"

#include <algorithm>

namespace tarnvale::sim {

namespace {

// The rates may change with the timeline; the state is drawn afresh at least this
// often (a Markov process forgets how long it has been in its state).
constexpr double longest_draw_s = 1.0;
// What is kept behind the latest time asked about, for answers that come back late.
constexpr double kept_s = 30.0;

}  // namespace

bool BurstyLoss::bad_at(double seconds, const Timeline& bad_pct, Random& random) {
    draw_until(seconds, bad_pct, random);
    const auto after = std::upper_bound(changes_.begin(), changes_.end(), seconds,
                                        [](double at_s, const Change& change) { return at_s < change.at_s; });
    return after == changes_.begin() ? changes_.front().bad : std::prev(after)->bad;
}

void BurstyLoss::draw_until(double seconds, const Timeline& bad_pct, Random& random) {
    if (changes_.empty()) {
        changes_.push_back({0.0, unit_draw(random) * 100.0 < bad_pct.at(0.0)});
    }
    while (drawn_until_s_ <= seconds) {
        const double share = std::clamp(bad_pct.at(drawn_until_s_) / 100.0, 0.0, 1.0);
        const bool bad = changes_.back().bad;
        // Bad periods end at 1 / mean_bad_s_ a second; good ones at the rate that
        // makes `share` of the time bad.
        double stay_s = longest_draw_s;
        if (bad && share < 1.0) {
            stay_s = exponential_draw(random, 1.0 / mean_bad_s_);
        } else if (!bad && share >= 1.0) {
            stay_s = 0.0;
        } else if (!bad && share > 0.0) {
            stay_s = exponential_draw(random, share / ((1.0 - share) * mean_bad_s_));
        }
        if (stay_s < longest_draw_s) {
            drawn_until_s_ += stay_s;
            changes_.push_back({drawn_until_s_, !bad});
        } else {
            drawn_until_s_ += longest_draw_s;
        }
    }
    while (changes_.size() > 1 && changes_[1].at_s < seconds - kept_s) {
        changes_.pop_front();
    }
}

}  // namespace tarnvale::sim
