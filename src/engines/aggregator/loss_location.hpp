#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Where on the path loss begins, from the recent probe outcomes of every hop.
//
// Loss on the link in front of hop k shows at hop k and at every hop after it up
// to the target; a router that declines to answer some probes shows loss at its
// own hop only. So the location is the hop where a loss begins that every later
// hop shares, with the hop in front of it clearly lower.
namespace tarnvale::engines::aggregator {

// One hop's outcomes over the recent window.
struct HopEvidence {
    std::uint8_t hop;
    std::uint64_t outcomes;
    std::uint64_t lost;
};

// Chance of wrongly judging one path in one evaluation, shared out over the
// comparisons it makes.
inline constexpr double location_error_rate = 0.005;

// Whether loss begins at path[first], `path` being the hops that answer, in hop
// order, the target (or the last hop that answers) last. Every hop from there
// to the end must show loss alike: none clearly below the others, the first not
// clearly above them. And the hop in front of it must show clearly less (in
// front of the first hop is the host, which loses nothing).
bool loss_begins_at(std::span<const HopEvidence> path, std::size_t first);

}  // namespace tarnvale::engines::aggregator
