#pragma once

#include <memory>
#include <optional>

#include "bursty_loss.hpp"
#include "sim_random.hpp"
#include "timeline.hpp"

namespace tarnvale::sim {

// What a link does to the packets crossing it, by seconds since the run began.
struct LinkConditions {
    Timeline loss_pct = {};         // of the packets travelling outward
    Timeline return_loss_pct = {};  // of the packets travelling back toward the host
    // Loss in bursts (Gilbert–Elliott) with bad periods this long on average;
    // without it each packet is dropped on its own.
    std::optional<double> mean_burst_ms = std::nullopt;
    Timeline queue_ms = {};        // a standing queue: the most it adds to a round trip
    Timeline queue_swing_ms = {};  // how far below queue_ms a round trip's wait may fall
};

// A link of the simulated path, with the state its bursts keep. A node keeps
// its link on every route it is on.
class SimulatedLink {
public:
    explicit SimulatedLink(LinkConditions conditions);

    // Whether a packet crossing it at `seconds`, outward or back, is dropped. A
    // bursty link's bad periods drop both ways; its return loss, if any, has
    // bursts of its own.
    bool drops_outward(double seconds, Random& random);
    bool drops_return(double seconds, Random& random);
    // What a round trip crossing it waits in its queue, in ms.
    double queue_delay_ms(double seconds, Random& random) const;
    bool queue_stands(double seconds) const { return conditions_.queue_ms.at(seconds) > 0; }

private:
    LinkConditions conditions_;
    std::optional<BurstyLoss> outward_bursts_;
    std::optional<BurstyLoss> return_bursts_;
};

// A link that drops `share` of the packets going outward, each on its own.
std::shared_ptr<SimulatedLink> steady_loss(double share);

}  // namespace tarnvale::sim
