#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/hop/pinger.hpp"
#include "engines/hop/receiver.hpp"
#include "engines/hop/sweep.hpp"
#include "loop_harness.hpp"
#include "simulated_path.hpp"

namespace tarnvale::sim {

// The hop engine's pinger beside a loop run over a simulated path: it takes the
// receiver's sightings and chooses routers as the pinger thread does, a new
// router at once and every router it knows each round; each echo takes the
// path's round trip to its router, or the reply timeout when lost, followed by
// the pause between routers. A sighting counts from the first tick that finds
// it, at most one wait step of the loop after it came.
class SimulatedPinger {
public:
    SimulatedPinger(SimulatedPath& path, engines::hop::PingerShared shared)
        : path_(path), shared_(std::move(shared)), free_at_(path.now()), next_round_(path.now()) {}

    // Does what the pinger would have done by `now`.
    void catch_up(SimulatedPath::Clock::time_point now);

private:
    // Pings the routers one after another from `start`; returns when it is done.
    SimulatedPath::Clock::time_point ping(const std::vector<engines::hop::HopSighting>& routers,
                                          SimulatedPath::Clock::time_point start);

    SimulatedPath& path_;
    engines::hop::PingerShared shared_;
    engines::hop::PingChoice choice_;
    SimulatedPath::Clock::time_point free_at_;
    SimulatedPath::Clock::time_point next_round_;
};

// The hop engine's tables, its receiver's handling of answers and its probing
// loop, wired to a simulated path.
class SimulatedHopLoop {
public:
    SimulatedHopLoop(SimulatedPath& path, const packets::IpAddress& target, std::uint8_t max_hops = 30);

    // Pings the routers seen beside the loop, as the engine's pinger thread does.
    void add_pinger();
    // Sweeps every `interval_ms` until the path's time is over; true when the
    // run ended so. Reports go to the handler as the loop sends them, if given.
    bool run(std::uint64_t interval_ms, LoopHarness::ReportHandler on_report = {});

    const engines::hop::HopShared& shared() const { return shared_; }
    const engines::EngineOutlets& outlets() const { return harness_.outlets(); }
    // The events sent so far, in order.
    std::vector<ipc::Event> take_events() { return harness_.take_events(); }

private:
    SimulatedPath& path_;
    LoopHarness harness_;
    engines::hop::HopShared shared_;
    engines::hop::ReceiverShared receiver_;
    std::optional<SimulatedPinger> pinger_;
};

}  // namespace tarnvale::sim
