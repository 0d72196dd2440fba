#pragma once

#include <cstdint>

// Which flow each train of a sweep takes (see train_flow_count). A router is
// asked for as many answers as with one flow: the sweeps keep their trains and
// their period, only the trains' destination ports differ.
namespace tarnvale::engines::bandwidth {

// The flow measured beside flow 0 in a sweep (counted from 0): none (0) in the
// first, so that bw_estimate, flow 0's, comes as soon and rests on as many
// samples as with one flow; then flows 1 to 7 in turn.
std::uint8_t guest_flow(std::uint64_t sweep);

// The flow of a hop's train (counted from 0) in a sweep: the first train of
// every hop is flow 0's, so that bw_estimate gains a sample at every hop every
// sweep, and the others are the sweep's guest's, so that a guest has the two
// samples an estimate needs at every hop of the sweep it is measured in.
std::uint8_t train_flow(std::uint64_t sweep, std::uint32_t train);

}  // namespace tarnvale::engines::bandwidth
