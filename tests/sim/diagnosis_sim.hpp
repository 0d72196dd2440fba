#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A seeded simulation of the hop engine sampling a path and of the aggregator
// judging what it reports: the engine's own probing loop and reply handling run
// over a simulated path (one probe per TTL per 5 s sweep, 100 ms apart, out to
// the target's distance once it is known; a probe unanswered for 3 s counts as
// lost; rings of 20 outcomes; a report cycle every 7 s), and the real
// aggregator state takes every report, evaluated at most every 30 s as loss
// reports arrive.
namespace tarnvale::sim {

// Loss of one link, as a fraction, at a time in seconds since the engine started.
using LinkLoss = std::function<double(double seconds)>;

struct PathModel {
    std::uint8_t hops = 4;  // routers and the target, which is the last hop
    // Per link, index 1..hops: link i carries probes from hop i-1 (the host for
    // i = 1) to hop i. Empty entries lose nothing.
    std::vector<LinkLoss> link_loss;
    // Per hop, index 1..hops: the share of the probes reaching the hop that it
    // answers (a router that declines some answers forwards everything still).
    std::vector<double> answer_share;

    explicit PathModel(std::uint8_t hop_count)
        : hops(hop_count), link_loss(std::size_t{hop_count} + 1), answer_share(std::size_t{hop_count} + 1, 1.0) {}
};

struct Verdict {
    double at_s;
    std::uint8_t hop;
    std::string cause;
};

// Every degradation the aggregator emits over `duration_s` seconds of the path.
std::vector<Verdict> simulate_diagnosis(const PathModel& path, double duration_s, std::uint64_t seed);

// A step from 0 to `fraction` at `at_s`.
LinkLoss loss_step(double fraction, double at_s);
// From 0 at `from_s` to `fraction` at `from_s + over_s`, then flat.
LinkLoss loss_ramp(double fraction, double from_s, double over_s);

// One kind of run, and what its diagnosis should be.
struct Scenario {
    std::string name;
    // The path of one run, drawn from the run's random numbers; also gives the
    // instant the loss reaches 15 % (or its final level, when lower).
    std::function<PathModel(std::uint64_t seed, double& loss_reached_s)> path;
    std::uint8_t expected_hop = 0;  // 0: no degradation is right
    std::string expected_cause;
    double duration_s = 0;
};

struct ScenarioRates {
    std::size_t runs = 0;
    std::size_t first_right = 0;  // the first event names the expected hop and cause
    std::size_t any_wrong = 0;    // some event names another hop (any event, when none is expected)
    std::size_t silent = 0;       // no event at all
    std::vector<double> delays_s;  // loss reaching 15 % to the first event, for runs with one
};

ScenarioRates run_scenario(const Scenario& scenario, std::size_t runs, std::uint64_t seed);

// The cause the aggregator gives a hop on a path without bottlenecks.
std::string plain_cause(std::uint8_t hop);

// The scenarios: loss steps of 10, 20, 30 and 50 % and a 0 to 30 % ramp
// over 3 minutes on each link of a 4-hop and a 10-hop path, a router answering
// 40-70 % of its probes while forwarding everything, and a quiet path.
std::vector<Scenario> standard_scenarios();

}  // namespace tarnvale::sim
