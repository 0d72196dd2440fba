#include "queue_sim.hpp"

#include <algorithm>
#include <chrono>

#include "hop_loop.hpp"

namespace tarnvale::sim {

namespace {

constexpr std::uint64_t sweep_ms = 5000;
constexpr std::uint8_t max_hops = 30;

// The model's hops as the simulated network: each answers after its quiet round
// trip plus its jitter, the queue it stands behind and its own slowness.
std::vector<SimulatedHop> simulated_hops(const DelayPathModel& path) {
    std::vector<SimulatedHop> hops;
    for (std::uint8_t hop = 1; hop <= path.hops; ++hop) {
        const auto added = [path, hop](double at_s, std::mt19937_64& random) {
            std::uniform_real_distribution<double> unit(0.0, 1.0);
            double ms = path.jitter_ms * unit(random);
            if (path.queue_hop != 0 && hop >= path.queue_hop && at_s >= path.queue_from_s &&
                at_s < path.queue_until_s) {
                ms += path.queue_ms - path.queue_swing_ms * unit(random);
            }
            if (hop == path.slow_router && at_s >= path.slow_from_s) {
                ms += 20.0 + 30.0 * unit(random);
            }
            return ms;
        };
        hops.push_back({.address = numbered_address(hop),
                        .round_trip = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::duration<float, std::milli>(path.base_ms[hop])),
                        .added_delay_ms = added});
    }
    return hops;
}

}  // namespace

std::vector<QueueFindingAt> simulate_queue_location(const DelayPathModel& path, double duration_s,
                                                    std::uint64_t seed) {
    SimulatedPath network(numbered_address(0), simulated_hops(path),
                          std::chrono::milliseconds(static_cast<std::int64_t>(duration_s * 1000)), seed);
    SimulatedHopLoop loop(network, numbered_address(path.hops), max_hops);
    loop.add_pinger();
    std::vector<QueueFindingAt> findings;
    loop.run(sweep_ms, [&](engines::AggregatorReport report) {
        const auto* queue = std::get_if<engines::QueueReport>(&report);
        if (queue != nullptr && queue->hop != 0) {
            findings.push_back({std::chrono::duration<double>(network.now() - network.start()).count(), queue->hop});
        }
    });
    return findings;
}

QueueRates run_queue_scenario(const QueueScenario& scenario, std::size_t runs, std::uint64_t seed) {
    QueueRates rates;
    std::mt19937_64 random(seed);
    for (std::size_t run = 0; run < runs; ++run) {
        const DelayPathModel path = scenario.path(random);
        const auto findings = simulate_queue_location(path, scenario.duration_s, random());
        ++rates.runs;
        const bool elsewhere = std::any_of(findings.begin(), findings.end(), [&](const QueueFindingAt& finding) {
            return finding.hop != path.queue_hop || finding.at_s < path.queue_from_s;
        });
        if (elsewhere) {
            ++rates.any_wrong;
            continue;
        }
        if (path.queue_hop == 0) {
            ++rates.first_right;
            continue;
        }
        const auto first = std::find_if(findings.begin(), findings.end(), [&](const QueueFindingAt& finding) {
            return finding.at_s >= path.queue_from_s;
        });
        if (first == findings.end() || first->at_s - path.queue_from_s > queue_found_within_s) {
            ++rates.silent;
            continue;
        }
        ++rates.first_right;
        rates.delays_s.push_back(first->at_s - path.queue_from_s);
    }
    return rates;
}

std::vector<QueueScenario> queue_scenarios() {
    constexpr std::uint8_t hops = 4;
    // A quiet path of broadband round trips: a few ms to the first routers, tens to the target.
    auto quiet = [](std::mt19937_64& random, float most_jitter_ms) {
        DelayPathModel path;
        path.hops = hops;
        path.base_ms.assign(std::size_t{hops} + 1, 0.0f);
        std::uniform_real_distribution<float> step(0.2f, 10.0f);
        for (std::uint8_t hop = 1; hop <= hops; ++hop) {
            path.base_ms[hop] = path.base_ms[hop - 1] + step(random);
        }
        path.jitter_ms = std::uniform_real_distribution<float>(0.1f, most_jitter_ms)(random);
        return path;
    };
    auto queued = [quiet](std::uint8_t queue_hop, bool standing, bool slow_router_behind) {
        return [=](std::mt19937_64& random) {
            DelayPathModel path = quiet(random, 3.0f);
            path.queue_hop = queue_hop;
            path.queue_from_s = std::uniform_real_distribution<double>(150, 300)(random);
            path.queue_until_s = path.queue_from_s + 240;
            path.queue_ms = std::uniform_real_distribution<float>(20.0f, 300.0f)(random);
            // A UDP flood or cross traffic keeps the queue full; a TCP upload swings it.
            path.queue_swing_ms = standing ? 0.05f * path.queue_ms
                                           : std::uniform_real_distribution<float>(0.3f, 0.8f)(random) * path.queue_ms;
            if (slow_router_behind && queue_hop < hops) {
                path.slow_router = static_cast<std::uint8_t>(queue_hop + 1);
            }
            return path;
        };
    };
    std::vector<QueueScenario> scenarios;
    for (std::uint8_t hop = 1; hop <= hops; ++hop) {
        const std::string at = " in front of hop " + std::to_string(hop);
        scenarios.push_back({"full queue" + at, queued(hop, true, false)});
        scenarios.push_back({"swinging queue" + at, queued(hop, false, false)});
        if (hop < hops) {
            scenarios.push_back({"swinging queue, slow router behind," + at, queued(hop, false, true)});
        }
    }
    scenarios.push_back({"quiet path, 10 min", [quiet](std::mt19937_64& random) { return quiet(random, 3.0f); }});
    scenarios.push_back({"quiet path, jitter to 30 ms", [quiet](std::mt19937_64& random) {
                             return quiet(random, 30.0f);
                         }});
    for (std::uint8_t slow = 1; slow <= hops; ++slow) {
        scenarios.push_back({"quiet path, router " + std::to_string(slow) + " slow from the start",
                             [quiet, slow](std::mt19937_64& random) {
                                 DelayPathModel path = quiet(random, 3.0f);
                                 path.slow_router = slow;
                                 return path;
                             }});
    }
    scenarios.push_back({"quiet path, router 2 slow from minute 5", [quiet](std::mt19937_64& random) {
                             DelayPathModel path = quiet(random, 3.0f);
                             path.slow_router = 2;
                             path.slow_from_s = 300;
                             return path;
                         }});
    return scenarios;
}

}  // namespace tarnvale::sim
