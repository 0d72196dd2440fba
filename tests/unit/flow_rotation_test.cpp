#include "engines/hop/flow_rotation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::hop;

constexpr packets::IpAddress r1{packets::Ipv4(0xC0A80101)};
constexpr packets::IpAddress r2{packets::Ipv4(0xC6336402)};
constexpr packets::IpAddress r2b{packets::Ipv4(0xC63364F6)};
constexpr packets::IpAddress target{packets::Ipv4(0xCB00710A)};

// Eight flows over r1, then r2 or r2b at TTL 2, then the target.
FlowRouters balanced(const std::vector<std::uint8_t>& through_r2b) {
    FlowPaths flows(8, 5);
    for (std::uint8_t flow = 0; flow < 8; ++flow) {
        const bool branch = std::ranges::find(through_r2b, flow) != through_r2b.end();
        flows.record_answer(flow, 1, r1, 1.0f);
        flows.record_answer(flow, 2, branch ? r2b : r2, 2.0f);
        flows.record_answer(flow, 3, target, 3.0f);
    }
    return flows.routers();
}

TEST(FlowRotation, FlowsAreGroupedByTheRoutersTheyMeetAndAnUnplacedFlowIsAPathOfItsOwn) {
    EXPECT_EQ(group_paths(balanced({3, 6})),
              (std::vector<std::vector<std::uint8_t>>{{0, 1, 2, 4, 5, 7}, {3, 6}}));

    FlowPaths partly(4, 5);
    partly.record_answer(0, 2, r2, 2.0f);
    partly.record_answer(1, 1, r1, 1.0f);  // meets nothing flow 0 has met otherwise: no parting shown
    partly.record_answer(2, 2, r2b, 2.0f);
    EXPECT_EQ(group_paths(partly.routers()), (std::vector<std::vector<std::uint8_t>>{{0, 1}, {2}, {3}}));
}

TEST(FlowRotation, EachPathIsProbedAsOftenHoweverFewFlowsTakeItAndEveryFlowInTurn) {
    const auto flows = balanced({5});
    FlowRotation rotation(8);
    std::map<std::uint8_t, int> chosen;
    for (int sweep = 0; sweep < 140; ++sweep) {
        ++chosen[rotation.next(flows)];
    }
    EXPECT_EQ(chosen[5], 70) << "the branch one flow of eight takes has every other sweep";
    for (const int flow : {0, 1, 2, 3, 4, 6, 7}) {
        EXPECT_EQ(chosen[static_cast<std::uint8_t>(flow)], 10) << "flow " << flow;
    }

    FlowPaths fresh(8, 5);
    FlowRotation discovering(8);
    std::set<std::uint8_t> first_eight;
    for (int sweep = 0; sweep < 8; ++sweep) {
        first_eight.insert(discovering.next(fresh.routers()));
    }
    EXPECT_EQ(first_eight.size(), 8u) << "flows no answer has placed are each a path to find";
}

}  // namespace
