#pragma once

#include <chrono>
#include <memory>
#include <span>
#include <mutex>
#include <string>
#include <utility>

#include "engines/hop/hop_table.hpp"
#include "engines/hop/pending_probes.hpp"
#include "engines/hop/pinger.hpp"
#include "engines/hop/queue_delay.hpp"
#include "runtime/stop_flag.hpp"

namespace tarnvale::engines::hop {

// How the receiver's start went, for the engine task to act on. The thread
// holds no queue or other object of the asynchronous runtime, so that it may end
// after the runtime without touching it.
class CaptureStatus {
public:
    enum class State { starting, capturing, no_device, open_failed };

    void set(State state, std::string error = {}) {
        const std::lock_guard lock(lock_);
        state_ = state;
        error_ = std::move(error);
    }
    std::pair<State, std::string> get() const {
        const std::lock_guard lock(lock_);
        return {state_, error_};
    }

private:
    mutable std::mutex lock_;
    State state_ = State::starting;
    std::string error_;
};

struct ReceiverShared {
    packets::IpAddress target;
    std::shared_ptr<PendingProbes> pending;
    std::shared_ptr<HopTable> table;
    std::shared_ptr<DelayTable> delays;
    std::shared_ptr<SightingQueue> sightings;
    std::shared_ptr<runtime::StopFlag> stop;
    std::shared_ptr<CaptureStatus> status;
};

// One captured datagram (link header removed) that arrived at `arrival`: a
// reply to a pending probe records its hop as answered with its round trip,
// notes the round trip for the queue locator and tells the pinger.
void handle_datagram(const ReceiverShared& shared, std::span<const std::uint8_t> datagram,
                     std::chrono::steady_clock::time_point arrival);

// The "hop-receiver" thread: captures the routers' ICMP replies, matches each to
// its pending probe, records the hop as answered with its round trip and tells
// the pinger, until
// stopped or the capture fails.
void run_receiver(ReceiverShared shared);

}  // namespace tarnvale::engines::hop
