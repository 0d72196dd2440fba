#include <gtest/gtest.h>

#include "diagnosis_sim.hpp"
#include "engines/aggregator/tail_probability.hpp"

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

// A short form of bench/diagnosis_sim: a few of its scenarios over fewer runs.
// The seeds are fixed, so the counts are exact for this code; the bounds are
// those the diagnosis is to meet.
ScenarioRates rates_of(const std::string& name, std::size_t runs) {
    for (const Scenario& scenario : standard_scenarios()) {
        if (scenario.name == name) {
            return run_scenario(scenario, runs, 7);
        }
    }
    ADD_FAILURE() << "no scenario " << name;
    return {};
}

TEST(DiagnosisSimulation, StepsAreNamedWhereTheyBeginAndNothingElseIsNamed) {
    for (const char* name : {"4-hop, 30 % step on link 1", "4-hop, 30 % step on link 3", "4-hop, 50 % step on link 4",
                             "10-hop, 50 % step on link 2", "10-hop, 0-30 % ramp over 3 min on link 6"}) {
        const auto rates = rates_of(name, 40);
        EXPECT_GE(rates.first_right, 39u) << name;
        EXPECT_LE(rates.any_wrong, 1u) << name;
    }
    for (const char* name : {"4-hop, one router answering 40-70 %", "10-hop, one router answering 40-70 %",
                             "4-hop, quiet"}) {
        const auto rates = rates_of(name, 40);
        EXPECT_EQ(rates.silent, 40u) << name;
    }
}

TEST(DiagnosisSimulation, TheFirstEventComesWithinMinutesOfAFiftyPercentStep) {
    const auto rates = rates_of("4-hop, 50 % step on link 2", 20);
    ASSERT_EQ(rates.delays_s.size(), 20u);
    for (const double delay : rates.delays_s) {
        EXPECT_GT(delay, 0);
        EXPECT_LT(delay, 240);
    }
}

}  // namespace
