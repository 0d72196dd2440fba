#pragma once

#include <deque>

#include "sim_random.hpp"
#include "timeline.hpp"

namespace tarnvale::sim {

// A Gilbert–Elliott link: either good (it drops nothing) or bad (it drops
// everything), bad periods lasting `mean_burst_ms` on average and the long-run
// share of time spent bad following a timeline of percentages. The periods are
// drawn as time goes, as a two-state Markov process in continuous time.
class BurstyLoss {
public:
    explicit BurstyLoss(double mean_burst_ms) : mean_bad_s_(mean_burst_ms / 1000.0) {}

    // Whether the link is bad at `seconds`. Times may come out of order by a
    // few seconds (an answer crosses the link after a later probe has).
    bool bad_at(double seconds, const Timeline& bad_pct, Random& random);

private:
    // Draws periods until the state is known past `seconds`.
    void draw_until(double seconds, const Timeline& bad_pct, Random& random);

    struct Change {
        double at_s;
        bool bad;
    };

    double mean_bad_s_;
    std::deque<Change> changes_;  // in time order; the first gives the state before the rest
    double drawn_until_s_ = 0;
};

}  // namespace tarnvale::sim
