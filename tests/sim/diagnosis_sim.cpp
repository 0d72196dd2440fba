#include "diagnosis_sim.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <queue>
#include <random>

#include "engines/aggregator/diagnosis.hpp"
#include "engines/hop/hop_report.hpp"
#include "engines/hop/hop_table.hpp"
#include "engines/hop/pending_probes.hpp"

namespace tarnvale::sim {

namespace {

using engines::hop::HopTable;
using engines::hop::PendingProbe;
using engines::hop::PendingProbes;
using Milliseconds = std::int64_t;

constexpr std::uint8_t max_hops = 30;
constexpr Milliseconds sweep_ms = 5000;
constexpr Milliseconds probe_spacing_ms = 100;
constexpr Milliseconds report_period_ms = 7000;
constexpr Milliseconds evaluation_period_ms = 30000;
constexpr std::uint64_t first_ts = 1'800'000'000;

packets::Ipv4 address_of(std::uint8_t hop) { return packets::Ipv4(0x0A000000u + hop); }

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    bool chance(double probability) { return uniform() < probability; }

private:
    std::mt19937_64 engine_;
};

struct Reply {
    Milliseconds at;
    std::uint16_t id;
    packets::Ipv4 source;
    bool operator>(const Reply& other) const { return at > other.at; }
};

class Simulation {
public:
    Simulation(const PathModel& path, std::uint64_t seed)
        : path_(path), random_(seed), table_(std::size_t{max_hops} + 1), wall_offset_s_(random_.uniform()) {}

    std::vector<Verdict> run(double duration_s) {
        const auto end = static_cast<Milliseconds>(duration_s * 1000);
        next_report_ = now_ + report_period_ms;
        while (now_ < end) {
            const std::uint8_t last =
                engines::hop::last_ttl_to_probe(table_.snapshot(), target(), max_hops, distance_);
            for (std::uint8_t ttl = 1; ttl <= last; ++ttl) {
                send_probe(ttl);
                pause(probe_spacing_ms);
            }
            const Milliseconds probing = Milliseconds{last} * probe_spacing_ms;
            pause(std::max<Milliseconds>(sweep_ms - probing, 1));
        }
        return verdicts_;
    }

private:
    std::chrono::steady_clock::time_point instant(Milliseconds at) const {
        return std::chrono::steady_clock::time_point{} + std::chrono::hours(1) + std::chrono::milliseconds(at);
    }

    packets::Ipv4 target() const { return address_of(path_.hops); }

    void send_probe(std::uint8_t ttl) {
        const std::uint16_t id = next_id_++;
        pending_.insert_or_assign(id, PendingProbe{instant(now_), ttl});
        const std::uint8_t reached = std::min(ttl, path_.hops);
        const double seconds = static_cast<double>(now_) / 1000.0;
        for (std::uint8_t link = 1; link <= reached; ++link) {
            const auto& loss = path_.link_loss[link];
            if (loss && random_.chance(loss(seconds))) {
                return;
            }
        }
        if (random_.chance(path_.answer_share[reached])) {
            replies_.push(Reply{now_ + 1 + reached, id, address_of(reached)});
        }
    }

    // The engine's pause: timer steps of at most 100 ms, each followed by the
    // overdue check and, when due, a report cycle; replies arrive in between.
    void pause(Milliseconds duration) {
        const Milliseconds until = now_ + duration;
        while (now_ < until) {
            const Milliseconds step = std::min(until, now_ + probe_spacing_ms);
            while (!replies_.empty() && replies_.top().at <= step) {
                const Reply reply = replies_.top();
                replies_.pop();
                engines::hop::settle_answered(pending_, table_, reply.id, reply.source, instant(reply.at));
            }
            now_ = step;
            engines::hop::settle_overdue(pending_, table_, instant(now_));
            if (now_ >= next_report_) {
                report();
                next_report_ = now_ + report_period_ms;
            }
        }
    }

    void report() {
        const auto hops = table_.snapshot();
        const auto ts = first_ts + static_cast<std::uint64_t>(wall_offset_s_ + static_cast<double>(now_) / 1000.0);
        const auto last = engines::hop::target_distance(hops, target()).value_or(max_hops);
        for (const auto& event : engines::hop::build_hop_loss_events(hops, ts, last)) {
            aggregator_.apply(engines::hop::hop_loss_report(event, hops[event.hop]));
            // The aggregator evaluates on the first report that finds 30 s gone
            // since its last evaluation, before the rest of the cycle arrives.
            if (now_ - last_evaluation_ >= evaluation_period_ms) {
                last_evaluation_ = now_;
                if (const auto diagnosis = aggregator_.evaluate()) {
                    verdicts_.push_back(Verdict{static_cast<double>(now_) / 1000.0, diagnosis->hop, diagnosis->cause});
                }
            }
        }
    }

    const PathModel& path_;
    Random random_;
    HopTable table_;
    PendingProbes pending_;
    engines::aggregator::DiagnosisState aggregator_;
    std::priority_queue<Reply, std::vector<Reply>, std::greater<>> replies_;
    std::vector<Verdict> verdicts_;
    double wall_offset_s_;
    Milliseconds now_ = 0;
    Milliseconds next_report_ = 0;
    Milliseconds last_evaluation_ = 0;
    std::uint16_t next_id_ = 0;
    std::optional<std::uint8_t> distance_;
};

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
    return Simulation(path, seed).run(duration_s);
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
