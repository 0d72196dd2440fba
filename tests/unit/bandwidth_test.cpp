#include <gtest/gtest.h>

#include "engines/bandwidth/train_sweep.hpp"
#include "engines/bandwidth/estimator.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "packets/checksum.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::bandwidth;
using namespace std::chrono_literals;

TEST(TrainPacket, PortsIdentificationsAndLayout) {
    EXPECT_EQ(train_destination_port(3, 7), 33461);
    EXPECT_EQ(train_identification(25, 9), 0x8103);
    EXPECT_EQ(train_identification(255, 9), 0x89FF);
    EXPECT_EQ(hop_for_port(33733), 30);
    EXPECT_EQ(hop_for_port(33434), 1);
    EXPECT_EQ(hop_for_port(33443), 1);
    EXPECT_EQ(hop_for_port(33444), 2);
    EXPECT_FALSE(hop_for_port(33734).has_value());
    EXPECT_FALSE(hop_for_port(33433).has_value());

    const auto packet = build_train_packet(25, 3, 7, packets::IpAddress(packets::Ipv4(0xC0A8010A)),
                                           packets::IpAddress(packets::Ipv4(0xCB00710A)), 50000);
    EXPECT_EQ(packet[0], 0x45);
    EXPECT_EQ(packet[2] << 8 | packet[3], 1400);
    EXPECT_EQ(packet[4] << 8 | packet[5], 0x8101);  // 0x8000 | (25 * 10 + 7)
    EXPECT_EQ(packet[6] << 8 | packet[7], 0);        // fragmentation allowed
    EXPECT_EQ(packet[8], 3);
    EXPECT_EQ(packet[9], 17);
    EXPECT_EQ(packets::internet_checksum(std::span(packet).first(20)), 0);
    EXPECT_EQ(packet[20] << 8 | packet[21], 50000);
    EXPECT_EQ(packet[22] << 8 | packet[23], 33461);
    EXPECT_EQ(packet[24] << 8 | packet[25], 1380);
    EXPECT_TRUE(std::all_of(packet.begin() + 26, packet.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(TrainPacket, TrainNumbersWrapAfter255) {
    TrainCounter counter;
    for (int i = 0; i < 255; ++i) {
        counter.next();
    }
    EXPECT_EQ(counter.next(), 255);
    EXPECT_EQ(counter.next(), 0);
}

TEST(SpacingSample, UpperMedianOfSpacingsAboveTheFloor) {
    const Instant start{};
    EXPECT_EQ(spacing_sample({start, start + 5ms}), 5.0);
    EXPECT_EQ(spacing_sample({start, start + 4ms, start + 9ms, start + 15ms}), 5.0);  // 4, 5, 6
    EXPECT_FALSE(spacing_sample({start, start + 5us}).has_value()) << "0.005 ms is not above 0.01 ms";
    EXPECT_FALSE(spacing_sample({start}).has_value());
}

TEST(HopEstimate, SpacingToMbpsAgainstThePreviousHopWithClampsLevelsAndBounds) {
    BaselineCell baseline;
    const auto first = estimate_hop(1, {4.0, 5.0, 6.0}, {}, baseline);
    ASSERT_TRUE(first.has_value());
    EXPECT_FLOAT_EQ(first->mbps, 2.24f);
    EXPECT_FLOAT_EQ(first->baseline_mbps, 2.24f);
    EXPECT_FALSE(first->bottleneck);
    EXPECT_EQ(first->level, "medium");
    EXPECT_FLOAT_EQ(first->p05_mbps, 1.792f);
    EXPECT_FLOAT_EQ(first->p95_mbps, 2.688f);
    EXPECT_EQ(first->sample_count, 3u);

    const auto second = estimate_hop(2, {5.5, 5.5}, {4.0, 5.0, 6.0}, baseline);
    EXPECT_FLOAT_EQ(second->mbps, 22.4f);
    EXPECT_FALSE(second->bottleneck);
    EXPECT_EQ(second->level, "low");

    EXPECT_FLOAT_EQ(estimate_hop(3, {5.5, 5.5, 5.5}, {5.5, 5.5}, baseline)->mbps, 10000.0f);
    EXPECT_FLOAT_EQ(estimate_hop(4, {20.0, 20.0}, {}, baseline)->mbps, 1.0f);

    // 1.5 Mbps: a spacing of 11200 / 1.5e6 s.
    const double spacing = 11200.0 / 1.5e6 * 1000.0;
    const auto slow = estimate_hop(5, {spacing, spacing, spacing, spacing, spacing, spacing}, {}, baseline);
    EXPECT_NEAR(slow->mbps, 1.5f, 1e-4);
    EXPECT_TRUE(slow->bottleneck) << "2.24 * 0.7 = 1.568 > 1.5";
    EXPECT_EQ(slow->level, "high");

    EXPECT_FALSE(estimate_hop(6, {5.0}, {}, baseline).has_value());
}

TEST(HopEstimate, UnevenSpacingsFromSlowAnswersFlagNoBottleneck) {
    BaselineCell baseline;
    estimate_hop(1, {5.0, 5.0, 5.0}, {}, baseline);
    // A router holding its answers 20-50 ms at random: per-train spacings anywhere from 5 to 14 ms.
    const std::vector<double> jittery{5.2, 14.8, 12.6, 13.9, 6.0, 15.4};
    const auto slow_router = estimate_hop(2, jittery, {5.0, 5.0, 5.0}, baseline);
    EXPECT_LT(slow_router->mbps, 1.568f) << "the figure is low";
    EXPECT_FALSE(slow_router->bottleneck) << "but the spacings are no link's";
    EXPECT_FALSE(estimate_hop(3, {5.0, 5.0, 5.1}, jittery, baseline)->bottleneck) << "nor behind it";
    // A 500 kbit link: 22.4 ms between packets, train after train.
    EXPECT_TRUE(estimate_hop(3, {22.3, 22.4, 22.4, 22.6}, {5.0, 5.0, 5.1}, baseline)->bottleneck);
    // One late wake-up of the sender (7.1 ms instead of 5) is small beside the 17 ms the link adds.
    EXPECT_TRUE(estimate_hop(3, {19.7, 19.6, 19.6}, {5.1, 7.1, 5.0}, baseline)->bottleneck);
    EXPECT_FALSE(estimate_hop(3, {19.7, 19.6, 19.6}, {5.1, 10.1, 5.0}, baseline)->bottleneck)
        << "5 ms of scatter beside 14.6 ms";
    EXPECT_DOUBLE_EQ(spacing_scatter({}), 0.0);
    EXPECT_DOUBLE_EQ(spacing_scatter({5.0, 1.0, 3.0, 2.0}), 3.0) << "the 4th less the 2nd of four";
}

TEST(HopEstimate, HopOneIsNeverABottleneckAndOtherHopsWithoutBaselineUseTheirOwn) {
    BaselineCell baseline;
    const auto second = estimate_hop(2, {20.0, 20.0}, {}, baseline);
    EXPECT_FLOAT_EQ(second->baseline_mbps, second->mbps);
    EXPECT_FALSE(second->bottleneck);
    EXPECT_FALSE(estimate_hop(1, {1.0, 1.0}, {}, baseline)->bottleneck);
}

TEST(HopSamples, TheSixtyFirstSamplePushesOutTheOldest) {
    const packets::IpAddress router{packets::Ipv4(0xC6336406)};
    HopSampleTable table(31);
    for (int i = 0; i < 61; ++i) {
        table.add(30, static_cast<double>(i), router);
    }
    const auto samples = table.samples(30);
    ASSERT_EQ(samples.size(), 60u);
    EXPECT_EQ(samples.front(), 1.0);
    EXPECT_EQ(samples.back(), 60.0);
    table.add(31, 1.0, router);  // outside the table: ignored
    EXPECT_TRUE(table.samples(31).empty());
    EXPECT_FALSE(table.address(31));
}

TEST(HopSamples, TheHopsAddressIsThatOfItsNewestSample) {
    const packets::IpAddress first{packets::Ipv4(0xC6336406)};
    const packets::IpAddress second{packets::Ipv4(0xC6336405)};  // a route change moved another router there
    HopSampleTable table(31);
    EXPECT_FALSE(table.address(3)) << "no sample, no address";
    table.add(3, 5.0, first);
    EXPECT_EQ(table.address(3), first);
    table.add(3, 5.0, second);
    EXPECT_EQ(table.address(3), second);
    EXPECT_FALSE(table.address(2));
}

TEST(TrainSweep, ASweepCutShortAtTheTargetKeepsThePeriodOfAFullOne) {
    using std::chrono::milliseconds;
    // 26 hops of 3 trains not sent beyond a target at hop 4, each 10 x 5 ms plus a 500 ms pause.
    EXPECT_EQ(rest_after_sweep(30, 4, 3, 5000), milliseconds(5000 + 26 * 3 * 550));
    EXPECT_EQ(rest_after_sweep(30, 30, 3, 5000), milliseconds(5000)) << "a full sweep waits the interval";
    EXPECT_EQ(rest_after_sweep(0, 0, 3, 5000), milliseconds(5000)) << "nothing to sweep";
    EXPECT_EQ(rest_after_sweep(255, 1, 1000, 0), milliseconds(254ULL * 1000 * 550)) << "no overflow";
}

}  // namespace
