#pragma once

#include <memory>

#include "engines/bandwidth/estimator.hpp"
#include "engines/bandwidth/target_distance.hpp"
#include "engines/bandwidth/train_registry.hpp"
#include "packets/ipv4.hpp"
#include "runtime/stop_flag.hpp"

namespace tarnvale::engines::bandwidth {

struct BandwidthReceiverShared {
    packets::Ipv4 target;
    std::shared_ptr<TrainRegistry> trains;
    std::shared_ptr<HopSampleTable> samples;
    std::shared_ptr<TargetDistance> distance;
    std::shared_ptr<runtime::StopFlag> stop;
};

// The "bw-receiver" thread: captures the routers' Time Exceeded answers to the
// trains and turns each train's first two answers into a spacing sample for its
// hop, and notes from the target's Destination Unreachable answers how far the
// target is, until stopped or the capture fails.
void run_bandwidth_receiver(BandwidthReceiverShared shared);

}  // namespace tarnvale::engines::bandwidth
