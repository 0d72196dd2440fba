#include "diagnosis_sim.hpp"

#include <algorithm>
#include <chrono>
#include <random>

#include "engines/aggregator/diagnosis.hpp"
#include "hop_loop.hpp"

namespace tarnvale::sim {

namespace {

using std::chrono::milliseconds;

constexpr std::uint8_t max_hops = 30;
constexpr std::uint64_t sweep_ms = 5000;
constexpr double evaluation_period_s = 30.0;
constexpr double first_ts = 1'800'000'000;

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

private:
    std::mt19937_64 engine_;
};

// The path as the simulated network: link i drops as its loss says, hop i
// answers its share after 1 + i ms.
std::vector<SimulatedHop> simulated_hops(const PathModel& path) {
    std::vector<SimulatedHop> hops;
    for (std::uint8_t hop = 1; hop <= path.hops; ++hop) {
        hops.push_back({.address = numbered_address(hop),
                        .answered_share = path.answer_share[hop],
                        .round_trip = milliseconds(1 + hop),
                        .link_loss = path.link_loss[hop]});
    }
    return hops;
}

std::uint64_t mix(std::uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

// Loss begins some time after the engine started, with anything from one to ten
// minutes of history before it.
double warm_up_s(Random& random) { return 60.0 + 540.0 * random.uniform(); }

constexpr double after_loss_s = 600.0;

Scenario step_scenario(std::uint8_t hops, std::uint8_t link, double fraction) {
    Scenario scenario;
    scenario.name = std::to_string(hops) + "-hop, " + std::to_string(static_cast<int>(fraction * 100)) +
                    " % step on link " + std::to_string(link);
    scenario.path = [hops, link, fraction](std::uint64_t seed, double& reached_s) {
        Random random(seed);
        const double begins = warm_up_s(random);
        PathModel path(hops);
        path.link_loss[link] = loss_step(fraction, begins);
        reached_s = begins;
        return path;
    };
    scenario.expected_hop = link;
    scenario.expected_cause = plain_cause(link);
    return scenario;
}

Scenario ramp_scenario(std::uint8_t hops, std::uint8_t link) {
    Scenario scenario;
    scenario.name = std::to_string(hops) + "-hop, 0-30 % ramp over 3 min on link " + std::to_string(link);
    scenario.path = [hops, link](std::uint64_t seed, double& reached_s) {
        Random random(seed);
        const double begins = warm_up_s(random);
        PathModel path(hops);
        path.link_loss[link] = loss_ramp(0.30, begins, 180.0);
        reached_s = begins + 90.0;
        return path;
    };
    scenario.expected_hop = link;
    scenario.expected_cause = plain_cause(link);
    return scenario;
}

Scenario declining_router_scenario(std::uint8_t hops) {
    Scenario scenario;
    scenario.name = std::to_string(hops) + "-hop, one router answering 40-70 %";
    scenario.path = [hops](std::uint64_t seed, double& reached_s) {
        Random random(seed);
        PathModel path(hops);
        const auto router = static_cast<std::uint8_t>(1 + static_cast<int>(random.uniform() * (hops - 1)));
        path.answer_share[router] = 0.4 + 0.3 * random.uniform();
        reached_s = 0;
        return path;
    };
    scenario.duration_s = 900;
    return scenario;
}

Scenario quiet_scenario(std::uint8_t hops) {
    Scenario scenario;
    scenario.name = std::to_string(hops) + "-hop, quiet";
    scenario.path = [hops](std::uint64_t, double& reached_s) {
        reached_s = 0;
        return PathModel(hops);
    };
    scenario.duration_s = 900;
    return scenario;
}

}  // namespace

std::vector<Verdict> simulate_diagnosis(const PathModel& path, double duration_s, std::uint64_t seed) {
    // The wall clock's second turns over at a different moment in each run.
    const double unix_start = first_ts + Random(seed).uniform();
    SimulatedPath network(numbered_address(0), simulated_hops(path),
                          milliseconds(static_cast<std::int64_t>(duration_s * 1000)), seed, unix_start);
    SimulatedHopLoop loop(network, numbered_address(path.hops), max_hops);
    loop.add_pinger();

    // The aggregator takes every report; it evaluates on the first loss report
    // that finds 30 s gone since its last evaluation.
    engines::aggregator::DiagnosisState aggregator;
    std::vector<Verdict> verdicts;
    double last_evaluation_s = 0;
    const auto on_report = [&](engines::AggregatorReport report) {
        const bool loss_report = std::holds_alternative<engines::HopLossReport>(report);
        aggregator.apply(report);
        const double now_s = std::chrono::duration<double>(network.now() - network.start()).count();
        if (loss_report && now_s - last_evaluation_s >= evaluation_period_s) {
            last_evaluation_s = now_s;
            if (const auto diagnosis = aggregator.evaluate()) {
                verdicts.push_back(Verdict{now_s, diagnosis->hop, diagnosis->cause});
            }
        }
    };
    loop.run(sweep_ms, on_report);
    return verdicts;
}

LinkLoss loss_step(double fraction, double at_s) {
    return [fraction, at_s](double seconds) { return seconds >= at_s ? fraction : 0.0; };
}

LinkLoss loss_ramp(double fraction, double from_s, double over_s) {
    return [fraction, from_s, over_s](double seconds) {
        return std::clamp((seconds - from_s) / over_s, 0.0, 1.0) * fraction;
    };
}

std::string plain_cause(std::uint8_t hop) {
    if (hop == 1) {
        return "hardware";
    }
    return hop >= 4 ? "unknown" : "isp";
}

ScenarioRates run_scenario(const Scenario& scenario, std::size_t runs, std::uint64_t seed) {
    ScenarioRates rates;
    rates.runs = runs;
    for (std::size_t run = 0; run < runs; ++run) {
        const std::uint64_t run_seed = mix(seed ^ mix(run));
        double reached_s = 0;
        const PathModel path = scenario.path(run_seed, reached_s);
        const double duration = scenario.duration_s > 0 ? scenario.duration_s : reached_s + after_loss_s;
        const auto verdicts = simulate_diagnosis(path, duration, mix(run_seed));
        if (verdicts.empty()) {
            ++rates.silent;
            continue;
        }
        const Verdict& first = verdicts.front();
        if (first.hop == scenario.expected_hop && first.cause == scenario.expected_cause) {
            ++rates.first_right;
        }
        if (std::any_of(verdicts.begin(), verdicts.end(),
                        [&](const Verdict& verdict) { return verdict.hop != scenario.expected_hop; })) {
            ++rates.any_wrong;
        }
        rates.delays_s.push_back(first.at_s - reached_s);
    }
    return rates;
}

std::vector<Scenario> standard_scenarios() {
    std::vector<Scenario> scenarios;
    for (const std::uint8_t hops : {std::uint8_t{4}, std::uint8_t{10}}) {
        for (std::uint8_t link = 1; link <= hops; ++link) {
            for (const double fraction : {0.10, 0.20, 0.30, 0.50}) {
                scenarios.push_back(step_scenario(hops, link, fraction));
            }
            scenarios.push_back(ramp_scenario(hops, link));
        }
        scenarios.push_back(declining_router_scenario(hops));
        scenarios.push_back(quiet_scenario(hops));
    }
    return scenarios;
}

}  // namespace tarnvale::sim
