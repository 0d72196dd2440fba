#include <gtest/gtest.h>

#include "engines/answer_budgets.hpp"
#include "engines/bandwidth/target_distance.hpp"

namespace {

using namespace std::chrono_literals;
using tarnvale::engines::AnswerBudgets;
using tarnvale::engines::Responder;
using tarnvale::engines::bandwidth::TargetDistance;

constexpr tarnvale::packets::IpAddress target{tarnvale::packets::Ipv4(0xCB00710A)};

TEST(AnswerBudgets, ATrainSpendsTheBurstAndTheBudgetComesBackAtOneASecond) {
    AnswerBudgets budgets;
    const auto start = AnswerBudgets::Clock::now();
    const Responder hop_2{target, 2};
    EXPECT_TRUE(budgets.can_answer(hop_2, start)) << "a responder not yet asked has its whole burst";

    budgets.spend(hop_2, 10, start);  // a train of ten: six answered, the burst gone
    EXPECT_FALSE(budgets.can_answer(hop_2, start + 1s)) << "one answer back, not yet one to spare";
    EXPECT_TRUE(budgets.can_answer(hop_2, start + 1300ms));
    EXPECT_TRUE(budgets.can_answer(Responder{target, 3}, start)) << "other hops keep theirs";

    // Refilling stops at the burst: after a minute of quiet, five probes at once
    // leave one answer, too few to be sure of.
    for (int i = 0; i < 5; ++i) {
        budgets.spend(hop_2, 1, start + 60s);
    }
    EXPECT_FALSE(budgets.can_answer(hop_2, start + 60s));
}

TEST(TargetDistance, TheLowestHopWhoseLatestAnswerCameFromTheTarget) {
    TargetDistance reach(31);
    EXPECT_FALSE(reach.distance().has_value());
    reach.answered(6, true);
    reach.answered(4, true);
    reach.answered(3, false);
    EXPECT_EQ(reach.distance(), 4);
    reach.answered(4, false);  // the path grew: hop 4 is a router now
    EXPECT_EQ(reach.distance(), 6);
    reach.answered(200, true);  // beyond the table: ignored
    EXPECT_EQ(reach.distance(), 6);
}

}  // namespace
