#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "engines/aggregator/branches.hpp"
#include "engines/aggregator/diagnosis.hpp"

namespace {

using namespace tarnvale::engines;
using namespace tarnvale::engines::aggregator;

constexpr std::uint64_t start_ts = 1'800'000'000;
constexpr std::uint64_t step_s = 30;

// The test network's balanced segment: r1 spreads flows over r2 and r2b, both
// of which lead to r3 (answering from the link each came in by) and the server.
const std::vector<std::string> via_r2{"192.168.1.1", "198.51.100.2", "198.51.100.6", "203.0.113.10"};
const std::vector<std::string> via_r2b{"192.168.1.1", "198.51.100.246", "198.51.100.250", "203.0.113.10"};

// Feeds the aggregator what the hop engine reports of a balanced route, one
// cycle every step_s: each flow's figures per hop along the path it takes,
// and the hop table (flow 0's path, with the flows that meet its routers up to the hop).
class BalancedRoute {
public:
    explicit BalancedRoute(std::map<std::uint8_t, const std::vector<std::string>*> paths) : paths_(std::move(paths)) {}

    // One cycle in which each flow's probes at each hop lose `loss_of(its path, hop)` percent of `outcomes`; the
    // target's TCP probes (on whichever branch their own flow takes) lose `tcp_loss`.
    template <typename LossOf>
    void cycle(DiagnosisState& state, LossOf loss_of, std::uint64_t outcomes = 10, float tcp_loss = 0) {
        const std::vector<std::string>& first = *paths_.at(0);
        for (std::uint8_t hop = 1; hop <= first.size(); ++hop) {
            Counts pooled;
            float pooled_loss = 0;
            for (const auto& [flow, path] : paths_) {
                const float loss = loss_of(*path, hop);
                const Counts added{outcomes, lost(loss, outcomes)};
                Counts& counted = flows_[{flow, hop}];
                counted = counted + added;
                state.apply(FlowLossReport{ts_, flow, hop, (*path)[hop - 1], loss, counted.outcomes, counted.lost});
                if (std::equal(first.begin(), first.begin() + hop, path->begin())) {  // flow 0's routers so far
                    pooled = pooled + added;
                    pooled_loss = loss;
                }
            }
            AnswerCounts& table = table_[hop];
            table.probes = table.probes + pooled;
            if (hop == first.size()) {
                table.tcp = table.tcp + Counts{2 * outcomes, lost(tcp_loss, 2 * outcomes)};
            }
            state.apply(HopLossReport{ts_, pooled_loss, hop, table.probes.outcomes, table.probes.lost, 0, 0,
                                      table.tcp.outcomes, table.tcp.lost});
        }
        ts_ += step_s;
    }

private:
    static std::uint64_t lost(float percent, std::uint64_t outcomes) {
        return static_cast<std::uint64_t>(std::lround(percent / 100.0f * static_cast<float>(outcomes)));
    }

    std::map<std::uint8_t, const std::vector<std::string>*> paths_;
    std::map<std::pair<std::uint8_t, std::uint8_t>, Counts> flows_;
    std::map<std::uint8_t, AnswerCounts> table_;
    std::uint64_t ts_ = start_ts;
};

// A loss that rises report by report from `from_hop` on, for the flows of
// `lossy_path` (of every path when none is given).
auto rising_on(const std::vector<std::string>* lossy_path, std::uint8_t from_hop, const std::size_t& report) {
    return [lossy_path, from_hop, &report](const std::vector<std::string>& path, std::uint8_t hop) {
        const bool lossy = (lossy_path == nullptr || &path == lossy_path) && hop >= from_hop;
        return lossy ? std::min(40.0f, 5.0f * static_cast<float>(report)) : 0.0f;
    };
}

const std::map<std::uint8_t, const std::vector<std::string>*> half_and_half{
    {0, &via_r2}, {1, &via_r2b}, {2, &via_r2}, {3, &via_r2b}};

std::optional<Diagnosis> run(const std::vector<std::string>* lossy_path, std::uint8_t from_hop, float tcp_loss = 0) {
    DiagnosisState state;
    BalancedRoute route(half_and_half);
    for (std::size_t report = 0; report < 12; ++report) {
        route.cycle(state, rising_on(lossy_path, from_hop, report), 10, tcp_loss);
    }
    return state.evaluate();
}

TEST(Branches, FlowsThatMeetTheSameRoutersAreOnePathAndPartWhereTheyFirstDiffer) {
    FlowHistories flows;
    const auto report = [&flows](std::uint64_t ts, std::uint8_t flow, std::uint8_t hop, const std::string& addr) {
        flows.apply(FlowLossReport{ts, flow, hop, addr, 0, (ts - start_ts) / 3, 0});  // 10 outcomes in 30 s
    };
    report(start_ts, 4, 1, via_r2[0]);  // a flow no longer reported
    for (const std::uint64_t ts : {start_ts + 60, start_ts + 90}) {
        for (std::uint8_t hop = 1; hop <= 4; ++hop) {
            for (const auto& [flow, path] : half_and_half) {
                report(ts, flow, hop, (*path)[hop - 1]);
            }
        }
    }
    report(start_ts + 90, 5, 1, via_r2[0]);  // answered at hop 1 only so far

    const auto branches = flows.branches();
    ASSERT_EQ(branches.size(), 2u);
    EXPECT_EQ(branches[0].flows, (std::vector<std::uint8_t>{0, 2, 5})) << "flow 0's first; one hop is no parting";
    EXPECT_EQ(branches[1].flows, (std::vector<std::uint8_t>{1, 3}));
    EXPECT_EQ(branches[1].routers.at(2), via_r2b[1]);
    EXPECT_EQ(parting_hop(branches[1], branches[0]), 2);
    EXPECT_EQ(parting_hop(branches[0], branches[0]), std::nullopt);

    const auto evidence = flows.evidence(branches[1], 3, start_ts + 90, 600);
    EXPECT_EQ(evidence.total.probes.outcomes, 20u) << "both flows' outcomes at hop 3 between their two reports";
}

TEST(BranchDiagnosis, ALossOnThePathFlowZeroDoesNotTakeIsLocatedThereAndSaysWhichPath) {
    const auto diagnosis = run(&via_r2b, 2);
    ASSERT_TRUE(diagnosis.has_value()) << "the hop table, flow 0's path, shows no loss at all";
    EXPECT_EQ(diagnosis->hop, 2);
    EXPECT_EQ(diagnosis->cause, "isp");
    EXPECT_NE(diagnosis->cause_detail.find(
                  " The loss is on 1 of 2 paths, through 198.51.100.246 (2 of 4 probe flows took it)."),
              std::string::npos)
        << diagnosis->cause_detail;
    EXPECT_EQ(diagnosis->cause_detail.find("pings"), std::string::npos)
        << "behind the parting only the path's probes count, and the sentence says so: " << diagnosis->cause_detail;

    const auto behind = run(&via_r2b, 3);
    ASSERT_TRUE(behind.has_value());
    EXPECT_EQ(behind->hop, 3) << "behind the parting, on the path's own link into r3";
    EXPECT_NE(behind->cause_detail.find("through 198.51.100.246"), std::string::npos) << behind->cause_detail;
}

TEST(BranchDiagnosis, ALossOnFlowZerosPathIsLocatedAsBeforeAndTheTargetsTcpAnswersDoNotClearIt) {
    // The TCP probes' own flow takes the other path: the target answers all of them.
    const auto diagnosis = run(&via_r2, 2, 0);
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 2);
    EXPECT_NE(diagnosis->cause_detail.find(
                  " The loss is on 1 of 2 paths, through 198.51.100.2 (2 of 4 probe flows took it)."),
              std::string::npos)
        << diagnosis->cause_detail;
}

TEST(BranchDiagnosis, ALossEveryPathSharesNamesNoPath) {
    const auto in_front = run(nullptr, 1);  // both paths show it: on the link into r1
    ASSERT_TRUE(in_front.has_value());
    EXPECT_EQ(in_front->hop, 1);
    EXPECT_EQ(in_front->cause_detail.find("paths"), std::string::npos) << in_front->cause_detail;

    DiagnosisState state;
    BalancedRoute route(half_and_half);
    for (std::size_t report = 0; report < 12; ++report) {
        const float loss = std::min(40.0f, 5.0f * static_cast<float>(report));
        // The TCP probes lose as much, whichever path their flow takes.
        route.cycle(
            state, [loss](const std::vector<std::string>&, std::uint8_t hop) { return hop == 4 ? loss : 0.0f; }, 10,
            loss);
    }
    const auto at_target = state.evaluate();  // on the server's own link, where the paths have joined
    ASSERT_TRUE(at_target.has_value());
    EXPECT_EQ(at_target->hop, 4);
    EXPECT_EQ(at_target->cause_detail.find("paths"), std::string::npos) << at_target->cause_detail;
}

TEST(BranchDiagnosis, NoLossNoEvent) {
    DiagnosisState state;
    BalancedRoute route(half_and_half);
    for (std::size_t report = 0; report < 20; ++report) {
        route.cycle(state, [](const std::vector<std::string>&, std::uint8_t) { return 0.0f; });
    }
    EXPECT_FALSE(state.evaluate().has_value());
}

}  // namespace
