#include "simulated_link.hpp"

#include <algorithm>

namespace tarnvale::sim {

namespace {

bool dropped(const Timeline& loss_pct, std::optional<BurstyLoss>& bursts, double seconds, Random& random) {
    if (loss_pct.empty()) {
        return false;
    }
    if (bursts) {
        return bursts->bad_at(seconds, loss_pct, random);
    }
    return unit_draw(random) * 100.0 < loss_pct.at(seconds);
}

}  // namespace

SimulatedLink::SimulatedLink(LinkConditions conditions) : conditions_(std::move(conditions)) {
    if (conditions_.mean_burst_ms) {
        outward_bursts_.emplace(*conditions_.mean_burst_ms);
        return_bursts_.emplace(*conditions_.mean_burst_ms);
    }
}

bool SimulatedLink::drops_outward(double seconds, Random& random) {
    return dropped(conditions_.loss_pct, outward_bursts_, seconds, random);
}

bool SimulatedLink::drops_return(double seconds, Random& random) {
    return (outward_bursts_ && dropped(conditions_.loss_pct, outward_bursts_, seconds, random)) ||
           dropped(conditions_.return_loss_pct, return_bursts_, seconds, random);
}

double SimulatedLink::queue_delay_ms(double seconds, Random& random) const {
    const double most = conditions_.queue_ms.at(seconds);
    if (most <= 0) {
        return 0;
    }
    const double swing = std::clamp(conditions_.queue_swing_ms.at(seconds), 0.0, most);
    return most - swing * unit_draw(random);
}

std::shared_ptr<SimulatedLink> steady_loss(double share) {
    return std::make_shared<SimulatedLink>(LinkConditions{.loss_pct = Timeline({{0.0, 0.0, share * 100.0}})});
}

}  // namespace tarnvale::sim
