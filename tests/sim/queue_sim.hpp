#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

// A seeded simulation of the hop engine on a path whose links may queue: its
// probing loop, reply handling, delay table and queue locator run over a
// simulated path, with its pinger's choice of routers beside them.
namespace tarnvale::sim {

struct DelayPathModel {
    std::uint8_t hops = 4;       // routers and the target, which is the last hop
    std::vector<float> base_ms;  // per hop, index 1..hops: the round trip of the quiet path
    float jitter_ms = 0.5f;      // every sample adds up to this much, uniformly
    // A router whose own answers wait 20-50 ms at random from slow_from_s on (0: none).
    std::uint8_t slow_router = 0;
    double slow_from_s = 0;
    // A queue on the link in front of queue_hop (0: none) between the two instants:
    // each round trip behind it waits between queue_ms - queue_swing_ms and
    // queue_ms, as a queue filled by a TCP upload swings with its window.
    std::uint8_t queue_hop = 0;
    double queue_from_s = 0;
    double queue_until_s = 0;
    float queue_ms = 0;
    float queue_swing_ms = 0;
};

struct QueueFindingAt {
    double at_s;
    std::uint8_t hop;
};

// The located queue of every report cycle that located one, over `duration_s`.
std::vector<QueueFindingAt> simulate_queue_location(const DelayPathModel& path, double duration_s,
                                                    std::uint64_t seed);

struct QueueScenario {
    std::string name;
    std::function<DelayPathModel(std::mt19937_64& random)> path;
    double duration_s = 600;
};

struct QueueRates {
    std::size_t runs = 0;
    std::size_t first_right = 0;  // located at the queue's hop within 60 s of it forming, never elsewhere
    std::size_t any_wrong = 0;    // located at another hop, or before any queue, or on a path without one
    std::size_t silent = 0;       // a queue stood and was not located within 60 s
    std::vector<double> delays_s;  // queue forming to first finding, for the right runs
};

inline constexpr double queue_found_within_s = 60;

QueueRates run_queue_scenario(const QueueScenario& scenario, std::size_t runs, std::uint64_t seed);

// Uplink and cross-traffic queues of 20-300 ms on each link of a 4-hop path,
// with and without a slow router behind them; quiet paths with jitter, with a
// slow router from the start and from the middle of the run.
std::vector<QueueScenario> queue_scenarios();

}  // namespace tarnvale::sim
