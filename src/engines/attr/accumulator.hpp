#pragma once

#include <memory>

#include "engines/attr/flow_table.hpp"
#include "runtime/stop_flag.hpp"

namespace tarnvale::engines::attr {

struct AccumulatorShared {
    std::shared_ptr<FlowTable> flows;
    std::shared_ptr<const LocalAddresses> local;
    std::shared_ptr<runtime::StopFlag> stop;
};

// The "attr-accumulator" thread: captures the TCP and UDP traffic of the
// chosen device and adds each frame's length to its flow, until stopped or the
// capture fails. Logs the capture's counts when it ends.
void run_accumulator(AccumulatorShared shared);

}  // namespace tarnvale::engines::attr
