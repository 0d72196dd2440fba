#include "diagnosis_sim.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

#include "engines/aggregator/diagnosis.hpp"
#include "engines/aggregator/evaluation_schedule.hpp"
#include "hop_loop.hpp"

namespace tarnvale::sim {

namespace {

constexpr std::uint8_t max_hops = 30;
constexpr std::uint64_t sweep_ms = 5000;
constexpr double attribution_period_s = 1.0;  // the attribution engine's default cycle
constexpr double first_ts = 1'800'000'000;

std::optional<ExpectedDiagnosis> expected(const ScenarioFile& scenario, EventKind kind) {
    switch (kind) {
        case EventKind::degradation:
            return scenario.expect.degradation;
        case EventKind::latency:
            return scenario.expect.latency;
        case EventKind::route_change:
            return std::nullopt;
    }
    return std::nullopt;
}

// The hop a node is at on the route in force at `at_s` (1 for the first), or
// on a route balanced beside it, 0 when it is on none.
std::uint8_t hop_of(const std::vector<RouteInForce>& routes, const std::string& node, double at_s) {
    const RouteInForce* in_force = &routes.front();
    for (const RouteInForce& route : routes) {
        if (route.from_s <= at_s) {
            in_force = &route;
        }
    }
    std::vector<const std::vector<std::string>*> candidates{&in_force->nodes};
    for (const auto& balanced : in_force->balanced) {
        candidates.push_back(&balanced);
    }
    for (const auto* nodes : candidates) {
        const auto place = std::find(nodes->begin(), nodes->end(), node);
        if (place != nodes->end()) {
            return static_cast<std::uint8_t>(place - nodes->begin() + 1);
        }
    }
    return 0;
}

// Whether an event names what is expected: the expected node's hop at its time
// and the cause, or, for a route change, that it comes after the route changed.
bool names_expected(const ScenarioFile& scenario, const RunRecord& run, const RunEvent& event, bool with_cause) {
    if (event.kind == EventKind::route_change) {
        return run.routes.size() > 1 && event.at_s >= run.routes[1].from_s;
    }
    const auto diagnosis = expected(scenario, event.kind);
    return event.hop == hop_of(run.routes, diagnosis->node, event.at_s) &&
           (!with_cause || event.cause == diagnosis->cause);
}

// The host's uploads as the attribution engine reports them, every second: a
// process from the first point that names it, for as long as the timeline names it.
class UploadFeed {
public:
    UploadFeed(const ScenarioFile& scenario, const RunTimes& times) {
        const std::vector<double> starts = times.starts(scenario.upload);
        for (std::size_t index = 0; index < scenario.upload.size(); ++index) {
            uploads_.add(starts[index], scenario.upload[index].value);
        }
    }

    // Hands the aggregator the reports of every cycle that has ended by `seconds`.
    void until(double seconds, engines::aggregator::DiagnosisState& aggregator) {
        if (uploads_.empty()) {
            return;
        }
        for (; next_cycle_s_ <= seconds; next_cycle_s_ += attribution_period_s) {
            if (const UploadSetting* upload = uploads_.at(next_cycle_s_)) {
                aggregator.apply(engines::ProcessUplinkReport{upload->process, static_cast<float>(upload->mbps),
                                                              upload->saturating});
            }
        }
    }

private:
    Steps<UploadSetting> uploads_;
    double next_cycle_s_ = attribution_period_s;
};

}  // namespace

bool is_expected(const ScenarioFile& scenario, EventKind kind) {
    return kind == EventKind::route_change ? scenario.expect.route_change : expected(scenario, kind).has_value();
}

std::string_view kind_name(EventKind kind) {
    switch (kind) {
        case EventKind::degradation:
            return "degradation";
        case EventKind::latency:
            return "latency";
        case EventKind::route_change:
            return "route_change";
    }
    return "?";
}

std::optional<double> fault_time(const ScenarioFile& scenario, const RunTimes& times, EventKind kind) {
    if (!is_expected(scenario, kind)) {
        return std::nullopt;
    }
    if (scenario.expect.fault_at_s) {
        return scenario.expect.fault_at_s;
    }
    if (kind == EventKind::route_change) {
        return times.at(scenario.route_changes.front().at);
    }
    const auto link = scenario.links.find(expected(scenario, kind)->node);
    if (link == scenario.links.end()) {
        return std::nullopt;
    }
    if (kind == EventKind::latency) {
        const Timeline queue =
            run_timeline(link->second.queue, times, [](const QueueLevel& level) { return level.ms; });
        return queue.first_reaching(std::numeric_limits<double>::min());
    }
    Timeline loss = run_timeline(link->second.loss_pct, times);
    if (loss.highest() <= 0) {
        loss = run_timeline(link->second.return_loss_pct, times);
    }
    return loss.first_reaching(std::min(engines::aggregator::loss_threshold_pct, loss.highest()));
}

RunRecord run_once(const ScenarioFile& scenario, std::uint64_t seed) {
    const RunTimes times(scenario, seed);
    RunRecord record{.seed = seed, .routes = run_routes(scenario, times)};
    for (const EventKind kind : event_kinds) {
        if (const auto at = fault_time(scenario, times, kind)) {
            record.fault_at_s.emplace(kind, *at);
        }
    }
    // The wall clock's second turns over at a different moment in each run.
    Random random(mix_seed(seed ^ 0x5CE7A210));
    const auto path = build_path(scenario, times, random(), first_ts + unit_draw(random));
    SimulatedHopLoop loop(*path, scenario.node(scenario.route.back()).address, max_hops);
    loop.add_pinger();

    engines::aggregator::DiagnosisState aggregator;
    UploadFeed uploads(scenario, times);
    engines::aggregator::EvaluationSchedule schedule(path->start());
    auto waiting_since = path->start();  // when the aggregator began to wait for the next report
    const auto seconds_in = [&](std::chrono::steady_clock::time_point at) {
        return std::chrono::duration<double>(at - path->start()).count();
    };
    const auto on_report = [&](engines::AggregatorReport report) {
        const auto now = path->now();
        // The waits that ran out before this report came, each a chance to evaluate, as in the aggregator.
        for (auto wait = schedule.wait(waiting_since); now - waiting_since >= wait;
             wait = schedule.wait(waiting_since)) {
            waiting_since += wait;
            if (!schedule.take_evaluation(waiting_since, true)) {
                continue;
            }
            const double evaluated_s = seconds_in(waiting_since);
            uploads.until(evaluated_s, aggregator);
            if (const auto diagnosis = aggregator.evaluate()) {
                record.events.push_back(
                    {EventKind::degradation, evaluated_s, diagnosis->hop, diagnosis->cause, diagnosis->cause_detail});
            }
        }
        waiting_since = now;
        const double now_s = seconds_in(now);
        uploads.until(now_s, aggregator);
        aggregator.apply(report);
        const auto* queue = std::get_if<engines::QueueReport>(&report);
        if (queue != nullptr && queue->hop != 0 && schedule.take_latency(now)) {
            if (const auto latency = aggregator.evaluate_latency()) {
                record.events.push_back({EventKind::latency, now_s, latency->hop, latency->cause, latency->cause_detail});
            }
        }
        // The hop engine tells the aggregator of a route change as it tells the client.
        if (const auto* change = std::get_if<engines::RouteChangeReport>(&report)) {
            record.events.push_back({EventKind::route_change, now_s, change->hop, {}});
        }
    };
    loop.run(sweep_ms, on_report);
    return record;
}

void KindRates::add(const KindRates& other) {
    runs += other.runs;
    right += other.right;
    wrong += other.wrong;
    silent += other.silent;
    delays_s.insert(delays_s.end(), other.delays_s.begin(), other.delays_s.end());
}

void score_run(const ScenarioFile& scenario, const RunRecord& run, ScenarioRates& rates) {
    for (const EventKind kind : event_kinds) {
        KindRates& rate = rates[kind];
        ++rate.runs;
        std::vector<const RunEvent*> events;
        for (const RunEvent& event : run.events) {
            if (event.kind == kind) {
                events.push_back(&event);
            }
        }
        if (events.empty()) {
            ++rate.silent;
            continue;
        }
        if (!is_expected(scenario, kind)) {
            ++rate.wrong;
            continue;
        }
        if (names_expected(scenario, run, *events.front(), true)) {
            ++rate.right;
        }
        if (std::any_of(events.begin(), events.end(),
                        [&](const RunEvent* event) { return !names_expected(scenario, run, *event, false); })) {
            ++rate.wrong;
        }
        const auto first_right = std::find_if(events.begin(), events.end(), [&](const RunEvent* event) {
            return names_expected(scenario, run, *event, true);
        });
        const auto fault = run.fault_at_s.find(kind);
        if (first_right != events.end() && fault != run.fault_at_s.end()) {
            rate.delays_s.push_back((*first_right)->at_s - fault->second);
        }
    }
}

std::uint64_t run_seed(std::uint64_t scenario_seed, std::size_t run) { return mix_seed(scenario_seed ^ mix_seed(run)); }

ScenarioRates run_scenario(const ScenarioFile& scenario, std::size_t runs, std::uint64_t scenario_seed) {
    ScenarioRates rates;
    for (std::size_t run = 0; run < runs; ++run) {
        score_run(scenario, run_once(scenario, run_seed(scenario_seed, run)), rates);
    }
    return rates;
}

}  // namespace tarnvale::sim
