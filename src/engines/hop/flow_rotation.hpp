#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/hop/flow_paths.hpp"

// Which flow each sweep probes. The paths the flows have shown take turns, and
// a path's flows take turns within it: a branch that one flow takes is
// measured as often as one that all the others take, so that a loss on either
// is seen as soon. A flow that no answer has placed yet is a path of its own
// until one does.
namespace tarnvale::engines::hop {

// The flows grouped by the routers they meet, each group in flow order, the
// groups by their lowest flow: a flow joins the first group whose routers it
// meets wherever both have been answered.
std::vector<std::vector<std::uint8_t>> group_paths(const FlowRouters& flows);

class FlowRotation {
public:
    explicit FlowRotation(std::uint8_t flow_count) : last_turn_(flow_count, 0) {}

    // The flow to probe next, given what each flow has met so far.
    std::uint8_t next(const FlowRouters& flows);

private:
    std::uint64_t turn_ = 0;
    std::vector<std::uint64_t> last_turn_;  // the turn each flow was last chosen in; 0 before its first
};

}  // namespace tarnvale::engines::hop
