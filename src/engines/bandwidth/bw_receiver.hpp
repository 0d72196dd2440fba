#pragma once

#include <memory>
#include <span>

#include "capture/receiver.hpp"
#include "engines/bandwidth/estimator.hpp"
#include "engines/bandwidth/flow_samples.hpp"
#include "engines/bandwidth/target_distance.hpp"
#include "engines/bandwidth/train_registry.hpp"
#include "packets/ip_address.hpp"
#include "runtime/stop_flag.hpp"

namespace tarnvale::engines::bandwidth {

struct BandwidthReceiverShared {
    packets::IpAddress target;
    std::uint16_t source_port;  // the trains' own: answers quoting another are another program's
    std::shared_ptr<TrainRegistry> trains;
    std::shared_ptr<HopSampleTable> samples;  // flow 0's alone: bw_estimate's
    std::shared_ptr<FlowSampleTable> flow_samples;
    std::shared_ptr<TargetDistance> distance;
    std::shared_ptr<runtime::StopFlag> stop;
};

// One captured datagram (link header removed) that arrived at `arrival`, with a
// log line for each step of reading it: a router's answer to a train adds to
// the train's arrivals (its second makes the sample of the train's flow and
// hop), the target's answer tells how far the target is. A sample is recorded
// with the answering router's address.
void handle_answer(const BandwidthReceiverShared& shared, std::span<const std::uint8_t> datagram, Instant arrival);

// The "bw-receiver" thread: captures the routers' Time Exceeded answers to the
// trains and turns each train's first two answers into a spacing sample for its
// hop (with the address of the router that answered), and notes from the
// target's Destination Unreachable answers how far the target is, until stopped
// or the capture cannot be opened.
void run_bandwidth_receiver(BandwidthReceiverShared shared, capture::ReceiverCapture capture);

}  // namespace tarnvale::engines::bandwidth
