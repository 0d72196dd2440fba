#include "engines/aggregator/loss_location.hpp"

#include "engines/aggregator/tail_probability.hpp"

namespace tarnvale::engines::aggregator {

namespace {

struct Counts {
    std::uint64_t outcomes = 0;
    std::uint64_t lost = 0;
};

Counts pooled(std::span<const HopEvidence> hops) {
    Counts sum;
    for (const HopEvidence& hop : hops) {
        sum.outcomes += hop.outcomes;
        sum.lost += hop.lost;
    }
    return sum;
}

Counts without(Counts all, const HopEvidence& hop) { return {all.outcomes - hop.outcomes, all.lost - hop.lost}; }

bool clearly_fewer(const HopEvidence& hop, Counts others, double error_rate) {
    return fewer_losses_probability(hop.lost, hop.outcomes, others.lost, others.outcomes) < error_rate;
}

bool clearly_more(const HopEvidence& hop, Counts others, double error_rate) {
    return more_losses_probability(hop.lost, hop.outcomes, others.lost, others.outcomes) < error_rate;
}

}  // namespace

bool loss_begins_at(std::span<const HopEvidence> path, std::size_t first) {
    const auto segment = path.subspan(first);
    const Counts all = pooled(segment);
    if (all.lost == 0) {
        return false;
    }
    // Each hop of the segment is compared with the rest of it, so the error rate
    // is shared among them. The hop in front is held to a stricter rate than
    // that: it is the comparison that a segment begun one hop lower makes of its
    // first hop, so that a segment one hop too low fails before this one passes.
    const double per_hop = location_error_rate / static_cast<double>(segment.size());
    const double in_front = location_error_rate / static_cast<double>(segment.size() + 1);
    for (const HopEvidence& hop : segment) {
        if (clearly_fewer(hop, without(all, hop), per_hop)) {
            return false;
        }
    }
    if (segment.size() > 1 && clearly_more(segment[0], without(all, segment[0]), per_hop)) {
        return false;  // a router declining answers: its excess stops at the next hop
    }
    // The hop in front: the nearest lower hop, passing over routers that decline
    // more answers than the segment loses (their excess is their own, so they
    // tell nothing of the link). In front of the first hop is the host itself,
    // which loses nothing: held to the same standard, with as many outcomes.
    for (std::size_t lower = first; lower-- > 0;) {
        if (!clearly_more(path[lower], all, in_front)) {
            return clearly_fewer(path[lower], all, in_front);
        }
    }
    return clearly_fewer(HopEvidence{0, segment[0].outcomes, 0}, all, in_front);
}

}  // namespace tarnvale::engines::aggregator
