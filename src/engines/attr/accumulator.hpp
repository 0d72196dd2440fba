#pragma once

#include <memory>

#include "capture/receiver.hpp"
#include "engines/attr/flow_table.hpp"
#include "engines/attr/local_address_book.hpp"
#include "runtime/stop_flag.hpp"

namespace tarnvale::engines::attr {

struct AccumulatorShared {
    std::shared_ptr<FlowTable> flows;
    std::shared_ptr<const LocalAddressBook> local;
    std::shared_ptr<runtime::StopFlag> stop;
};

// The "attr-accumulator" thread: captures the TCP and UDP traffic of the
// configured or chosen device and adds each frame's length on the wire to its
// flow, until stopped or the capture cannot be opened. Logs the capture's
// counts when stopped.
void run_accumulator(AccumulatorShared shared, capture::ReceiverCapture capture);

}  // namespace tarnvale::engines::attr
