#pragma once

#include <memory>

#include "engines/hop/hop_table.hpp"
#include "engines/hop/pending_probes.hpp"
#include "engines/hop/pinger.hpp"
#include "ipc/event_queue.hpp"
#include "runtime/bounded_queue.hpp"
#include "runtime/stop_flag.hpp"

namespace tarnvale::engines::hop {

struct ReceiverShared {
    packets::Ipv4 target;
    std::shared_ptr<PendingProbes> pending;
    std::shared_ptr<HopTable> table;
    std::shared_ptr<SightingQueue> sightings;
    ipc::EventSender events;
    std::shared_ptr<runtime::StopFlag> stop;
    // Told once the capture runs (true) or cannot (false).
    std::shared_ptr<runtime::BoundedQueue<bool>> capturing;
};

// The "hop-receiver" thread: captures the routers' ICMP replies, matches each to
// its pending probe, records the hop as answered and tells the pinger, until
// stopped or the capture fails.
void run_receiver(ReceiverShared shared);

}  // namespace tarnvale::engines::hop
