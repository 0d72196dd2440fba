#include <gtest/gtest.h>

#include <set>

#include "engines/bandwidth/train_sweep.hpp"
#include "engines/bandwidth/estimator.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/ipv6.hpp"
#include "packets/tcp_segment.hpp"
#include "simulated_path.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::bandwidth;
using namespace std::chrono_literals;

TEST(TrainPacket, Ipv4Layout) {
    const auto packet = build_train_packet(25, 3, 7, packets::IpAddress(packets::Ipv4(0xC0A8010A)),
                                           packets::IpAddress(packets::Ipv4(0xCB00710A)), 50000);
    ASSERT_EQ(packet.size(), train_packet_size);
    EXPECT_EQ(packet[0], 0x45);
    EXPECT_EQ(packet[2] << 8 | packet[3], 1400);
    EXPECT_EQ(packet[4] << 8 | packet[5], 0x8101);  // 0x8000 | (25 * 10 + 7)
    EXPECT_EQ(packet[6] << 8 | packet[7], 0);        // fragmentation allowed
    EXPECT_EQ(packet[8], 3);
    EXPECT_EQ(packet[9], 17);
    EXPECT_EQ(packets::internet_checksum(std::span(packet).first(20)), 0);
    EXPECT_EQ(packet[20] << 8 | packet[21], 50000);
    EXPECT_EQ(packet[22] << 8 | packet[23], 33434);
    EXPECT_EQ(packet[24] << 8 | packet[25], 1380);
    EXPECT_EQ(packet[26] << 8 | packet[27], 0x8101) << "the tag as UDP checksum";
    EXPECT_TRUE(std::all_of(packet.begin() + 30, packet.end(), [](std::uint8_t b) { return b == 0; }))
        << "zeros past the word that makes the checksum verify";
}

TEST(TrainPacket, TagsNameEveryPacketOfEveryTrainAndAreNeverZero) {
    EXPECT_EQ(train_tag(0, 0), 0x8000);
    EXPECT_EQ(train_tag(25, 9), 0x8103);
    EXPECT_EQ(train_tag(255, 9), 0x89FF);
    std::set<std::uint16_t> tags;
    for (std::uint16_t train = 0; train < train_numbers; ++train) {
        for (unsigned index = 0; index < packets_per_train; ++index) {
            const std::uint16_t tag = train_tag(train, index);
            tags.insert(tag);
            const auto named = train_packet_of(tag);
            ASSERT_TRUE(named) << tag;
            EXPECT_EQ(named->train_id, train);
            EXPECT_EQ(named->packet_index, index);
        }
    }
    EXPECT_EQ(tags.size(), train_numbers * packets_per_train) << "no two packets share a tag";
    EXPECT_FALSE(tags.contains(0));
    for (const std::uint16_t other : std::vector<std::uint16_t>{0x0000, 0x0001, 0x7FFF, 0x8A00, 0xFFFF}) {
        EXPECT_FALSE(train_packet_of(other)) << "no train's: " << other;
    }
}

// What a router balancing per flow hashes is the same for every packet of every
// train to the target, in either family; the tag travels in the UDP checksum,
// which verifies over the pseudo-header, and over IPv4 in the identification.
TEST(TrainPacket, EveryTrainIsOneFlowWithItsTagAsAVerifyingChecksum) {
    const packets::IpAddress client{packets::Ipv4(0xC0A8010A)};
    const packets::IpAddress target{packets::Ipv4(0xCB00710A)};
    const packets::IpAddress client_v6 = sim::test_network::client_v6;
    const packets::IpAddress target_v6 = sim::test_network::server_v6;
    for (const auto& [source, destination] : {std::pair{client, target}, std::pair{client_v6, target_v6}}) {
        const bool v4 = source.is_v4();
        const std::size_t header = v4 ? packets::ipv4_header_length : packets::ipv6_header_length;
        // IPv4: addresses, ports and protocol. IPv6: all of the header but the
        // hop limit (traffic class and flow label among it), and the ports.
        const auto flow_fields = [v4, header](const std::vector<std::uint8_t>& packet) {
            std::vector<std::uint8_t> fields(packet.begin() + (v4 ? 12 : 0), packet.begin() + header + 4);
            if (v4) {
                fields.push_back(packet[9]);
            } else {
                fields.erase(fields.begin() + 7);
            }
            return fields;
        };
        const auto first = build_train_packet(0, 1, 0, source, destination, 50000);
        for (const std::uint16_t train : std::vector<std::uint16_t>{0, 25, 255}) {
            for (const std::uint8_t hop : std::vector<std::uint8_t>{1, 3, 30}) {
                for (unsigned index = 0; index < packets_per_train; ++index) {
                    const auto packet = build_train_packet(train, hop, index, source, destination, 50000);
                    ASSERT_EQ(packet.size(), train_packet_size);
                    EXPECT_EQ(flow_fields(packet), flow_fields(first)) << train << "/" << int{hop} << "/" << index;
                    EXPECT_EQ(packet[v4 ? 8 : 7], hop) << "TTL or hop limit";
                    const auto udp = std::span(packet).subspan(header);
                    EXPECT_EQ(packets::read_u16(udp, 6), train_tag(train, index));
                    EXPECT_EQ(packets::transport_checksum(source, destination, packets::protocol_udp, udp), 0)
                        << "the checksum verifies";
                    if (v4) {
                        EXPECT_EQ(packets::read_u16(packet, 4), train_tag(train, index)) << "identification";
                    }
                }
            }
        }
        EXPECT_EQ(packets::read_u16(first, header), 50000);
        EXPECT_EQ(packets::read_u16(first, header + 2), train_destination_port);
        if (!v4) {
            EXPECT_EQ(packets::read_u32(first, 0), 0x60000000u) << "traffic class and flow label 0";
        }
    }
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
