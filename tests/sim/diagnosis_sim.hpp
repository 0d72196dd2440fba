#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scenario_file.hpp"
#include "scenario_path.hpp"

// Scenario runs: the hop engine's own probing loop, reply handling, pinger and
// queue locator run over the scenario's simulated path (one probe per TTL per
// 5 s sweep, a report cycle every 7 s), and the real aggregator state takes
// every report, as the aggregator task would: a degradation evaluated on the
// first loss report 30 s after the last evaluation, a latency event on a queue
// report that locates a queue, at most once per 30 s; the host's uploads
// reported every second as the attribution engine would. Each run's events
// (these and the hop engine's route changes) are kept, and scored against what
// the scenario expects.
namespace tarnvale::sim {

enum class EventKind { degradation, latency, route_change };
inline constexpr std::array<EventKind, 3> event_kinds{EventKind::degradation, EventKind::latency,
                                                      EventKind::route_change};
std::string_view kind_name(EventKind kind);

// Whether the scenario says an event of the kind is due (else none is right).
bool is_expected(const ScenarioFile& scenario, EventKind kind);

// An event the aggregator emitted, at seconds since the run began.
struct RunEvent {
    EventKind kind;
    double at_s;
    std::uint8_t hop = 0;  // for a route change, the TTL where another router answers
    std::string cause;
    std::string detail = {};  // a degradation's or latency's sentence
};

struct RunRecord {
    std::uint64_t seed = 0;
    std::vector<RouteInForce> routes;
    std::map<EventKind, double> fault_at_s = {};  // for the kinds the scenario expects
    std::vector<RunEvent> events = {};            // in the order emitted
};

// When the fault of the kind becomes serious in a run: the expectation's
// fault_at_s, or else the first time the loss of the link into the expected
// node reaches 15 % (its highest, when lower; its return loss when it has no
// outward loss), the first time a queue stands on it, the first route change.
std::optional<double> fault_time(const ScenarioFile& scenario, const RunTimes& times, EventKind kind);

// One run of the scenario, everything in it drawn from `seed`.
RunRecord run_once(const ScenarioFile& scenario, std::uint64_t seed);

// How the runs went for one kind of event.
struct KindRates {
    std::size_t runs = 0;
    std::size_t right = 0;         // the first event names the expected hop and cause
    std::size_t wrong = 0;         // some event names another hop (any event, when none is expected)
    std::size_t silent = 0;        // no event of the kind
    std::vector<double> delays_s;  // fault to the first right event, for the runs with one

    void add(const KindRates& other);
};

using ScenarioRates = std::map<EventKind, KindRates>;

// Adds one run to the rates of each kind. An event's hop is judged against
// the route in force when it was emitted.
void score_run(const ScenarioFile& scenario, const RunRecord& run, ScenarioRates& rates);

// The seed of one run of a scenario whose runs follow from `scenario_seed`.
std::uint64_t run_seed(std::uint64_t scenario_seed, std::size_t run);

// Runs 0 to runs - 1, scored.
ScenarioRates run_scenario(const ScenarioFile& scenario, std::size_t runs, std::uint64_t scenario_seed);

}  // namespace tarnvale::sim
