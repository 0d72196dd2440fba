#include <gtest/gtest.h>

#include "diagnosis_sim.hpp"
#include "engines/aggregator/tail_probability.hpp"
#include "scenario_file.hpp"

namespace {

using namespace tarnvale::sim;
using tarnvale::engines::aggregator::fewer_losses_probability;
using tarnvale::engines::aggregator::more_losses_probability;

TEST(LossComparison, MidPValuesOfFishersExactTest) {
    // 0 of 10 against 5 of 10: P(0) = C(10,0) C(10,5) / C(20,5) = 252 / 15504.
    EXPECT_NEAR(fewer_losses_probability(0, 10, 5, 10), 0.5 * 252.0 / 15504.0, 1e-12);
    // 5 of 10 against 0 of 10 is the same table seen from the other group.
    EXPECT_NEAR(more_losses_probability(5, 10, 0, 10), 0.5 * 252.0 / 15504.0, 1e-12);
    // No losses anywhere: nothing to tell the groups apart.
    EXPECT_DOUBLE_EQ(fewer_losses_probability(0, 20, 0, 40), 0.5);
    // An even split sits in the middle of both tails.
    EXPECT_NEAR(fewer_losses_probability(3, 10, 3, 10), more_losses_probability(3, 10, 3, 10), 1e-12);
    EXPECT_NEAR(fewer_losses_probability(3, 10, 3, 10), 0.5, 1e-12);
}

// A short form of bench/diagnosis_sim: some of its kinds of scenario, from
// files of their own, over fewer runs. The seeds are fixed, so the counts are
// exact for this code; the bounds are those the diagnosis is to meet.
const std::vector<ScenarioFile>& fixtures() {
    static const std::vector<ScenarioFile> scenarios = read_scenarios(TARNVALE_SCENARIO_FIXTURES);
    return scenarios;
}

KindRates degradation_rates(const std::string& name, std::size_t runs) {
    for (const ScenarioFile& scenario : fixtures()) {
        if (scenario.name == name) {
            return run_scenario(scenario, runs, 7).at(EventKind::degradation);
        }
    }
    ADD_FAILURE() << "no scenario " << name;
    return {};
}

// One test per scenario, so that ctest runs them side by side: under the
// sanitizers each takes a minute.
class DiagnosedStep : public testing::TestWithParam<const char*> {};

TEST_P(DiagnosedStep, IsNamedWhereItBegins) {
    const auto rates = degradation_rates(GetParam(), 40);
    EXPECT_GE(rates.right, 39u);
    EXPECT_LE(rates.wrong, 1u);
}

INSTANTIATE_TEST_SUITE_P(DiagnosisSimulation, DiagnosedStep,
                         testing::Values("4-hop, 30 % step on the home link",
                                         "4-hop, 30 % step on the link into the core",
                                         "4-hop, 50 % step on the link into the target",
                                         "10-hop, 50 % step on the link into the BRAS",
                                         "10-hop, 0-30 % ramp over 3 min into the first transit router",
                                         "route gains a router; 20 % loss on the LAN link"));

class QuietPath : public testing::TestWithParam<const char*> {};

TEST_P(QuietPath, IsNeverNamed) { EXPECT_EQ(degradation_rates(GetParam(), 40).silent, 40u); }

INSTANTIATE_TEST_SUITE_P(DiagnosisSimulation, QuietPath,
                         testing::Values("4-hop, the BRAS answers 40 %", "10-hop, a transit router answers 40 %",
                                         "4-hop, quiet"));

TEST(DiagnosisSimulation, TheFaultBeginsWhenTheLinkLosesFifteenPercentOrItsQueueForms) {
    const ScenarioFile scenario = parse_scenario(R"({
        "name": "faults", "about": "a ramp past 15 %, a ramp short of it, a queue",
        "nodes": {"home": {}, "core": {}, "web": {}},
        "route": ["home", "core", "web"],
        "route_changes": [{"at_s": [700, 800], "route": ["core", "web"]}],
        "links": {"core": {"loss": [{"at_s": [100, 200], "pct": 5}, {"after_s": 100, "pct": 25, "ramp_s": 100}],
                           "queue": [{"at_s": 50, "ms": 0}, {"at_s": 300, "ms": 40, "ramp_s": 20}]},
                  "web": {"return_loss": [{"at_s": 100, "pct": 10, "ramp_s": 50}]}},
        "expect": {"degradation": {"node": "core", "cause": "isp"}, "latency": {"node": "core", "cause": "congestion"},
                   "route_change": true}
    })",
                                                 "faults.json");
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        const RunTimes times(scenario, seed);
        const double loss_begins = times.starts(scenario.links.at("core").loss_pct)[0];
        // From 5 % at 100 s after it began, a ramp to 25 % crosses 15 % half way.
        EXPECT_DOUBLE_EQ(*fault_time(scenario, times, EventKind::degradation), loss_begins + 150);
        EXPECT_DOUBLE_EQ(*fault_time(scenario, times, EventKind::latency), 300);
        EXPECT_DOUBLE_EQ(*fault_time(scenario, times, EventKind::route_change), times.at(scenario.route_changes[0].at));
    }
    // Return loss alone, lower than 15 %: when it reaches its highest.
    ScenarioFile back = scenario;
    back.expect.degradation = ExpectedDiagnosis{"web", "unknown"};
    EXPECT_DOUBLE_EQ(*fault_time(back, RunTimes(back, 1), EventKind::degradation), 150);
    back.expect.fault_at_s = 42;
    EXPECT_DOUBLE_EQ(*fault_time(back, RunTimes(back, 1), EventKind::latency), 42);
}

TEST(DiagnosisSimulation, EventsAreJudgedAgainstTheRouteInForceWhenEmitted) {
    const ScenarioFile scenario = parse_scenario(R"({
        "name": "moved", "about": "the faulty link moves from hop 3 to hop 2",
        "nodes": {"home": {}, "bras": {}, "core": {}, "web": {}},
        "route": ["home", "bras", "core", "web"],
        "route_changes": [{"at_s": 500, "route": ["home", "core", "web"]}],
        "links": {"core": {"loss": [{"at_s": 100, "pct": 30}]}},
        "expect": {"degradation": {"node": "core", "cause": "isp"}}
    })",
                                                 "moved.json");
    const auto scored = [&](std::vector<RunEvent> events) {
        ScenarioRates rates;
        RunRecord run{.seed = 1,
                      .routes = run_routes(scenario, RunTimes(scenario, 1)),
                      .fault_at_s = {{EventKind::degradation, 100.0}},
                      .events = std::move(events)};
        score_run(scenario, run, rates);
        return rates;
    };
    const auto before_and_after =
        scored({{EventKind::degradation, 200, 3, "isp"}, {EventKind::degradation, 600, 2, "isp"}});
    const KindRates& degradation = before_and_after.at(EventKind::degradation);
    EXPECT_EQ(degradation.right, 1u);
    EXPECT_EQ(degradation.wrong, 0u);
    EXPECT_EQ(degradation.delays_s, std::vector<double>{100});
    EXPECT_EQ(before_and_after.at(EventKind::latency).silent, 1u);

    const auto stale = scored({{EventKind::degradation, 200, 3, "isp"}, {EventKind::degradation, 600, 3, "isp"}});
    EXPECT_EQ(stale.at(EventKind::degradation).right, 1u);
    EXPECT_EQ(stale.at(EventKind::degradation).wrong, 1u) << "hop 3 is the target after the change";

    const auto wrong_cause_first =
        scored({{EventKind::degradation, 200, 3, "unknown"}, {EventKind::degradation, 230, 3, "isp"}});
    EXPECT_EQ(wrong_cause_first.at(EventKind::degradation).right, 0u);
    EXPECT_EQ(wrong_cause_first.at(EventKind::degradation).wrong, 0u);
    EXPECT_EQ(wrong_cause_first.at(EventKind::degradation).delays_s, std::vector<double>{130});

    const auto unexpected = scored({{EventKind::latency, 300, 3, "congestion"}, {EventKind::route_change, 520, 2, ""}});
    EXPECT_EQ(unexpected.at(EventKind::latency).wrong, 1u) << "no latency event is right";
    EXPECT_EQ(unexpected.at(EventKind::route_change).wrong, 1u) << "the file does not expect the change told";
    EXPECT_EQ(unexpected.at(EventKind::degradation).silent, 1u);

    // A route change is told right once the route has changed.
    ScenarioFile told = scenario;
    told.expect.route_change = true;
    const auto score_told = [&](double at_s) {
        ScenarioRates rates;
        score_run(told,
                  RunRecord{.seed = 1,
                            .routes = run_routes(told, RunTimes(told, 1)),
                            .fault_at_s = {{EventKind::route_change, 500.0}},
                            .events = {{EventKind::route_change, at_s, 2, ""}}},
                  rates);
        return rates.at(EventKind::route_change);
    };
    EXPECT_EQ(score_told(520).right, 1u);
    EXPECT_EQ(score_told(520).delays_s, std::vector<double>{20});
    EXPECT_EQ(score_told(450).right, 0u);
    EXPECT_EQ(score_told(450).wrong, 1u) << "before the route changed";
}

TEST(DiagnosisSimulation, TheFirstEventComesWithinMinutesOfAFiftyPercentStep) {
    const auto rates = degradation_rates("4-hop, 50 % step on the link into the BRAS", 20);
    ASSERT_EQ(rates.delays_s.size(), 20u);
    for (const double delay : rates.delays_s) {
        EXPECT_GT(delay, 0);
        EXPECT_LT(delay, 240);
    }
}

}  // namespace
