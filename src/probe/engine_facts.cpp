#include "probe/engine_facts.hpp"

#include <chrono>

#include "engines/aggregator/diagnosis.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "engines/bandwidth/train_sweep.hpp"
#include "engines/engine_config.hpp"
#include "engines/hop/sweep.hpp"

namespace tarnvale::probe {

namespace {

std::uint64_t milliseconds(std::chrono::milliseconds duration) { return static_cast<std::uint64_t>(duration.count()); }

}  // namespace

ipc::ProbeFacts engine_facts() {
    // Every engine runs with the default configuration: no command changes it.
    const engines::EngineConfig config;
    namespace bandwidth = engines::bandwidth;
    // A sweep sends its trains up to the target and then rests for the trains it
    // did not send and the interval, so every sweep lasts as long as the rest
    // after one that sent none; the first estimate follows hop 1's trains, which
    // take the rest owed for one hop skipped with no interval.
    const auto sweep = bandwidth::rest_after_sweep(config.max_hops, 0, config.probe_count, config.interval_ms);
    const auto first_hop_trains = bandwidth::rest_after_sweep(1, 0, config.probe_count, 0);
    const auto packet_spacing_us = std::chrono::microseconds(bandwidth::packet_spacing).count();
    return ipc::ProbeFacts{
        static_cast<float>(engines::aggregator::loss_threshold_pct),
        milliseconds(engines::hop::report_period),
        milliseconds(first_hop_trains),
        milliseconds(sweep),
        // Bits per microsecond are megabits per second.
        static_cast<float>(bandwidth::train_packet_size * 8) / static_cast<float>(packet_spacing_us),
        config.poll_interval_ms,
    };
}

}  // namespace tarnvale::probe
