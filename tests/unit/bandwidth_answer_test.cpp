#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "engines/bandwidth/answer_parser.hpp"
#include "engines/bandwidth/bw_receiver.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "engines/hop/probe_packet.hpp"
#include "packets/udp_datagram.hpp"
#include "packets/byte_order.hpp"
#include "packets/ipv6.hpp"
#include "packets/views.hpp"
#include "simulated_path.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::bandwidth;
using Bytes = std::vector<std::uint8_t>;

constexpr packets::IpAddress client{packets::Ipv4(0xC0A8010A)};
constexpr packets::IpAddress target{packets::Ipv4(0xCB00710A)};
constexpr packets::IpAddress router{packets::Ipv4(0xC6336406)};
constexpr std::uint16_t own_port = 50000;  // the engine's reserved UDP port

// What the receiver reads of a datagram, and the train answer it makes of it.
struct Reading {
    std::optional<packets::ReceivedIcmp> received;
    std::optional<TrainAnswer> answer;
};

Reading read_answer(const Bytes& datagram, const packets::IpAddress& to, std::uint16_t source_port = own_port) {
    Reading reading{packets::read_icmp_error(datagram, packets::family_of(to)), std::nullopt};
    if (reading.received) {
        reading.answer = match_train_answer(*reading.received, to, source_port);
    }
    return reading;
}

// An ICMP message of `type` from `from` quoting `quoted_bytes` of `packet`.
Bytes answer_quoting(std::uint8_t type, const Bytes& packet, std::size_t quoted_bytes,
                     packets::IpAddress from = router) {
    Bytes datagram(20, 0);
    datagram[0] = 0x45;
    datagram[9] = 1;
    packets::write_u32(datagram, 12, from.v4().number());
    const Bytes icmp_header = {type, 0, 0, 0, 0, 0, 0, 0};
    datagram.insert(datagram.end(), icmp_header.begin(), icmp_header.end());
    datagram.insert(datagram.end(), packet.begin(), packet.begin() + static_cast<long>(quoted_bytes));
    datagram[2] = static_cast<std::uint8_t>(datagram.size() >> 8);
    datagram[3] = static_cast<std::uint8_t>(datagram.size());
    return datagram;
}

// A Time Exceeded (or other type) from `from` (the router unless told)
// quoting `quoted_bytes` of packet `index` of train `train`.
Bytes answer(std::uint8_t type, std::uint16_t train, unsigned index, std::size_t quoted_bytes,
             packets::IpAddress destination = target, packets::IpAddress from = router) {
    return answer_quoting(type, build_train_packet(train, 3, index, client, destination, own_port), quoted_bytes,
                          from);
}

// A UDP datagram to the target that is no train packet of ours, though its
// ports may be the trains' flow.
Bytes udp_datagram(std::uint16_t source_port, std::uint16_t destination_port, std::optional<std::uint16_t> checksum) {
    return packets::build_udp_datagram({.source = client,
                                        .destination = target,
                                        .ttl = 3,
                                        .source_port = source_port,
                                        .destination_port = destination_port,
                                        .payload_length = 2,
                                        .carried_checksum = checksum});
}

TEST(TrainAnswer, TheChecksumNamesTrainAndPacket) {
    // Eight bytes of UDP: the least a router quotes.
    const auto last = read_answer(answer(11, 255, 9, 28), target);
    ASSERT_TRUE(last.answer.has_value());
    EXPECT_EQ(last.answer->train_id, 255);
    EXPECT_EQ(last.answer->packet_index, 9u);
    EXPECT_FALSE(last.answer->from_target);
    EXPECT_EQ(last.answer->from, router) << "the router's address goes with the hop's samples";
    EXPECT_EQ(last.received->icmp->length - 4, 32u) << "the logged payload length";

    const auto whole = read_answer(answer(11, 25, 7, 1400), target);  // a router quoting it all
    ASSERT_TRUE(whole.answer.has_value());
    EXPECT_EQ(whole.answer->train_id, 25);
    EXPECT_EQ(whole.answer->packet_index, 7u);

    Bytes rewritten = answer(11, 25, 7, 28);
    rewritten[20 + 8 + 4] = 0x12, rewritten[20 + 8 + 5] = 0x34;  // a firewall replaced the quoted identification
    ASSERT_TRUE(read_answer(rewritten, target).answer.has_value());
    EXPECT_EQ(read_answer(rewritten, target).answer->train_id, 25) << "the checksum alone names the packet";
}

TEST(TrainAnswer, TheTargetsUnreachableTellsThatTheTrainReachedIt) {
    const auto reached = read_answer(answer(3, 5, 2, 28, target, target), target);
    ASSERT_TRUE(reached.answer.has_value());
    EXPECT_TRUE(reached.answer->from_target);
    EXPECT_EQ(reached.answer->train_id, 5);
    EXPECT_EQ(reached.answer->packet_index, 2u);
    EXPECT_TRUE(is_target_unreachable(*reached.received, target));
    EXPECT_FALSE(is_target_unreachable(*read_answer(answer(3, 5, 2, 28), target).received, target))
        << "a router's Destination Unreachable";
}

TEST(TrainAnswer, AnswersQuotingAnotherFlowOrNoTrainTagAreNotOurs) {
    for (std::uint8_t flow = 0; flow < train_flow_count; ++flow) {
        const auto reading = read_answer(
            answer_quoting(11, udp_datagram(own_port, static_cast<std::uint16_t>(33434 + flow), 0x8103), 28), target);
        ASSERT_TRUE(reading.answer) << "a train flow's port and a tag: a train packet, flow " << int{flow};
        EXPECT_EQ(reading.answer->flow, flow);
    }
    EXPECT_FALSE(read_answer(answer_quoting(11, udp_datagram(own_port, 33442, 0x8103), 28), target).answer)
        << "a destination port beyond the flows'";
    EXPECT_FALSE(read_answer(answer_quoting(11, udp_datagram(own_port, 33433, 0x8103), 28), target).answer)
        << "a destination port below the flows'";
    // The hop engine's probes go to the same port from its own; their ids run over every checksum.
    const Bytes hop_probe = engines::hop::build_ttl_probe(0x8103, 3, {49153}, client, target);
    EXPECT_FALSE(read_answer(answer_quoting(11, hop_probe, 28), target).answer) << "a hop engine probe";
    EXPECT_FALSE(read_answer(answer(11, 2, 0, 28), target, own_port + 1).answer.has_value())
        << "another program's train to the same target";
    for (const std::uint16_t checksum : std::vector<std::uint16_t>{0x7FFF, 0x8A00, 0xFFFF, 0x0001}) {
        EXPECT_FALSE(read_answer(answer_quoting(11, udp_datagram(own_port, 33434, checksum), 28), target).answer)
            << "checksum " << checksum << ": no train's tag";
    }
    EXPECT_FALSE(read_answer(answer_quoting(11, udp_datagram(own_port, 33434, std::nullopt), 28), target).answer)
        << "no checksum";

    Bytes not_udp = answer(11, 2, 0, 28);
    not_udp[20 + 8 + 9] = packets::protocol_tcp;  // the quoted header's protocol
    EXPECT_FALSE(read_answer(not_udp, target).answer.has_value()) << "a quoted TCP segment";
}

TEST(TrainAnswer, WhatIsIgnored) {
    const auto elsewhere = read_answer(answer(11, 2, 0, 28, router), target);
    EXPECT_FALSE(elsewhere.answer.has_value());
    EXPECT_EQ(elsewhere.received->icmp->quoted->destination, router) << "a destination mismatch";

    const auto cut = read_answer(answer(11, 2, 0, 27), target);
    EXPECT_FALSE(cut.answer.has_value());
    EXPECT_EQ(cut.received->icmp->quoted->transport.size(), 7u) << "the checksum cut short: too short";

    const auto no_header = read_answer(answer(11, 2, 0, 19), target);
    EXPECT_FALSE(no_header.answer.has_value());
    EXPECT_EQ(no_header.received->icmp->length - 4, 23u);
    EXPECT_FALSE(no_header.received->icmp->quoted) << "no room for the quoted header";

    EXPECT_FALSE(read_answer(answer(3, 2, 0, 28), target).answer.has_value()) << "a router's Destination Unreachable";
    EXPECT_FALSE(read_answer(Bytes(19, 0x45), target).received) << "the outer header is unreadable";

    Bytes truncated_total = answer(11, 2, 0, 28);
    truncated_total[2] = 0, truncated_total[3] = 22;  // total length leaves 2 ICMP bytes
    const auto truncated = read_answer(truncated_total, target);
    EXPECT_FALSE(truncated.answer.has_value());
    EXPECT_FALSE(truncated.received->icmp) << "no ICMP type";

    Bytes not_icmp = answer(11, 2, 0, 28);
    not_icmp[9] = packets::protocol_udp;  // what an unfiltered capture also hands over
    EXPECT_FALSE(read_answer(not_icmp, target).answer.has_value());
}

// The receiver: the hop an answer counts for is that of the train its checksum
// names, as the registry holds it; two trains to one hop keep their spacings apart.
TEST(TrainAnswerHandling, TheRegistryGivesTheHopAndTheTrainItsOwnArrivals) {
    using std::chrono::milliseconds;
    const Instant sent{};
    const BandwidthReceiverShared receiver{target,
                                           own_port,
                                           std::make_shared<TrainRegistry>(),
                                           std::make_shared<HopSampleTable>(31),
                                           std::make_shared<FlowSampleTable>(train_flow_count, 31),
                                           std::make_shared<TargetDistance>(31),
                                           std::make_shared<runtime::StopFlag>()};
    receiver.trains->add({25, 3, 0, packets_per_train, sent, {}});
    receiver.trains->add({26, 3, 0, packets_per_train, sent + milliseconds(1), {}});
    receiver.trains->add({40, 6, 0, packets_per_train, sent, {}});

    handle_answer(receiver, answer(11, 25, 0, 28), sent + milliseconds(10));
    handle_answer(receiver, answer(11, 26, 0, 28), sent + milliseconds(11));
    handle_answer(receiver, answer(11, 25, 1, 28), sent + milliseconds(15));
    EXPECT_EQ(receiver.samples->samples(3), std::vector<double>{5.0}) << "train 25's own spacing";
    EXPECT_EQ(receiver.samples->address(3), router);
    EXPECT_EQ(receiver.trains->destination_of(25), std::nullopt) << "its sample taken, the train is done";
    EXPECT_EQ(receiver.trains->destination_of(26), (TrainDestination{3, 0}));

    handle_answer(receiver, answer(11, 25, 2, 28), sent + milliseconds(20));
    handle_answer(receiver, answer(11, 99, 0, 28), sent + milliseconds(21));
    handle_answer(receiver, answer(11, 99, 1, 28), sent + milliseconds(22));
    for (std::uint8_t hop = 1; hop <= 30; ++hop) {
        EXPECT_EQ(receiver.samples->samples(hop).size(), hop == 3 ? 1u : 0u)
            << "no sample from a finished or unknown train, hop " << int{hop};
    }

    EXPECT_FALSE(receiver.distance->distance());
    handle_answer(receiver, answer(3, 40, 0, 28, target, target), sent + milliseconds(30));
    EXPECT_EQ(receiver.distance->distance(), 6) << "the hop train 40 was sent to";
}

// Flows: a train's answers count only when they quote the train's own flow,
// and a sample of flow 0 feeds bw_estimate's table as well as the flows'.
TEST(TrainAnswerHandling, EachFlowsSamplesGoToItsOwnEntries) {
    using std::chrono::milliseconds;
    const Instant sent{};
    const BandwidthReceiverShared receiver{target,
                                           own_port,
                                           std::make_shared<TrainRegistry>(),
                                           std::make_shared<HopSampleTable>(31),
                                           std::make_shared<FlowSampleTable>(train_flow_count, 31),
                                           std::make_shared<TargetDistance>(31),
                                           std::make_shared<runtime::StopFlag>()};
    const auto flow_answer = [](std::uint16_t train, unsigned index, std::uint8_t flow) {
        return answer_quoting(11, build_train_packet(train, 2, index, client, target, own_port, flow), 28);
    };
    receiver.trains->add({10, 2, 0, packets_per_train, sent, {}});
    receiver.trains->add({11, 2, 5, packets_per_train, sent, {}});

    handle_answer(receiver, flow_answer(11, 0, 3), sent + milliseconds(1));
    handle_answer(receiver, flow_answer(11, 1, 3), sent + milliseconds(9));
    EXPECT_EQ(receiver.trains->destination_of(11), (TrainDestination{2, 5}))
        << "answers quoting flow 3's port are no answers to flow 5's train";

    handle_answer(receiver, flow_answer(11, 0, 5), sent + milliseconds(10));
    handle_answer(receiver, flow_answer(11, 1, 5), sent + milliseconds(17));
    handle_answer(receiver, flow_answer(10, 0, 0), sent + milliseconds(20));
    handle_answer(receiver, flow_answer(10, 1, 0), sent + milliseconds(25));
    EXPECT_EQ(receiver.flow_samples->samples(5, 2), std::vector<double>{7.0});
    EXPECT_EQ(receiver.flow_samples->samples(0, 2), std::vector<double>{5.0});
    EXPECT_EQ(receiver.samples->samples(2), std::vector<double>{5.0}) << "bw_estimate's table: flow 0's alone";
    EXPECT_EQ(receiver.flow_samples->router(5, 2), router);
    EXPECT_TRUE(receiver.flow_samples->samples(3, 2).empty());
}

TEST(FlowSamples, AFlowsSamplesAtAHopBeginAgainWhenAnotherRouterAnswersIt) {
    constexpr packets::IpAddress beside{packets::Ipv4(0xC633640E)};
    FlowSampleTable table(train_flow_count, 31);
    table.add(1, 2, 5.0, router);
    table.add(1, 2, 6.0, router);
    table.add(2, 2, 22.0, beside);
    EXPECT_EQ(table.samples(1, 2), (std::vector<double>{5.0, 6.0}));
    EXPECT_EQ(table.router(2, 2), beside) << "each flow has its own router at the hop";

    table.add(1, 2, 22.5, beside);
    EXPECT_EQ(table.samples(1, 2), std::vector<double>{22.5}) << "the new router's link alone";
    EXPECT_EQ(table.router(1, 2), beside);

    for (int sample = 0; sample < 70; ++sample) {
        table.add(2, 2, sample, beside);
    }
    EXPECT_EQ(table.samples(2, 2).size(), samples_per_hop) << "the newest 60, as bw_estimate's";
    EXPECT_EQ(table.samples(2, 2).front(), 10.0);

    table.add(train_flow_count, 2, 5.0, router);
    EXPECT_EQ(table.router(train_flow_count, 2), std::nullopt);
    table.add(1, 31, 5.0, router);
    EXPECT_TRUE(table.samples(train_flow_count, 2).empty()) << "a flow out of range is ignored";
    EXPECT_TRUE(table.samples(1, 31).empty()) << "a hop out of range is ignored";
    EXPECT_EQ(table.router(1, 31), std::nullopt);
}

TEST(FlowSamples, AFlowFollowsFlow0WhereBothMetTheSameRoutersAtEveryHopBefore) {
    constexpr packets::IpAddress first_router{packets::Ipv4(0xC0A80101)};
    constexpr packets::IpAddress beside{packets::Ipv4(0xC633640E)};
    FlowSampleTable table(train_flow_count, 31);
    EXPECT_TRUE(table.follows_first_before(3, 1)) << "nothing lies before hop 1";
    EXPECT_FALSE(table.follows_first_before(3, 2)) << "no answer yet shows where either goes";
    for (const std::uint8_t flow : std::vector<std::uint8_t>{0, 3, 4}) {
        table.add(flow, 1, 5.0, first_router);
    }
    table.add(0, 2, 5.0, router);
    table.add(3, 2, 5.0, router);
    table.add(4, 2, 22.4, beside);
    EXPECT_TRUE(table.follows_first_before(3, 2));
    EXPECT_TRUE(table.follows_first_before(3, 3));
    EXPECT_TRUE(table.follows_first_before(4, 2)) << "the balancer is at hop 1: its link is flow 0's";
    EXPECT_FALSE(table.follows_first_before(4, 3)) << "another router at hop 2: another link into it";
    EXPECT_FALSE(table.follows_first_before(5, 2)) << "a flow not yet answered";
}

constexpr packets::IpAddress client_v6 = sim::test_network::client_v6;
constexpr packets::IpAddress target_v6 = sim::test_network::server_v6;
constexpr packets::IpAddress router_v6 = sim::test_network::r2_v6;

// An ICMPv6 message of `type` from `from` quoting `quoted_bytes` of `packet`.
Bytes answer_v6_quoting(std::uint8_t type, const Bytes& packet, std::size_t quoted_bytes,
                        packets::IpAddress from = router_v6) {
    Bytes datagram(packets::ipv6_header_length, 0);
    packets::write_ipv6_header(std::span(datagram).first<packets::ipv6_header_length>(),
                               {static_cast<std::uint16_t>(8 + quoted_bytes), packets::protocol_icmpv6, 64, from,
                                client_v6});
    datagram.insert(datagram.end(), {type, 0, 0, 0, 0, 0, 0, 0});
    datagram.insert(datagram.end(), packet.begin(), packet.begin() + static_cast<long>(quoted_bytes));
    return datagram;
}

// The same, quoting packet `index` of IPv6 train `train` to `destination`.
Bytes answer_v6(std::uint8_t type, std::uint16_t train, unsigned index, std::size_t quoted_bytes,
                packets::IpAddress destination = target_v6, packets::IpAddress from = router_v6) {
    return answer_v6_quoting(type, build_train_packet(train, 4, index, client_v6, destination, own_port),
                             quoted_bytes, from);
}

TEST(TrainPacket, Ipv6PacketIsAsLongWithItsTagAsUdpChecksum) {
    const auto packet = build_train_packet(25, 3, 7, client_v6, target_v6, own_port);
    ASSERT_EQ(packet.size(), train_packet_size) << "the same bytes on the wire as over IPv4";
    const auto view = packets::Ipv6View::read(packet);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->hop_limit(), 3);
    EXPECT_EQ(view->payload().size(), 1360u);
    const auto udp = std::span(packet).subspan(packets::ipv6_header_length);
    EXPECT_EQ(packets::read_u16(udp, 0), 50000);
    EXPECT_EQ(packets::read_u16(udp, 2), 33434);
    EXPECT_EQ(packets::read_u16(udp, 4), 1360);
    EXPECT_EQ(packets::read_u16(udp, 6), 0x8101) << "0x8000 | (25 * 10 + 7)";
    EXPECT_EQ(packets::ipv6_upper_layer_checksum(client_v6, target_v6, packets::protocol_udp, udp), 0);
}

TEST(TrainAnswer, Ipv6AnswersNameTrainAndPacketAsIpv4Ones) {
    // quoting to 1280 bytes
    const auto exceeded = read_answer(answer_v6(3, 40, 2, 1232), target_v6);
    ASSERT_TRUE(exceeded.answer);
    EXPECT_EQ(exceeded.answer->train_id, 40);
    EXPECT_EQ(exceeded.answer->packet_index, 2u);
    EXPECT_FALSE(exceeded.answer->from_target);
    EXPECT_EQ(exceeded.answer->from, router_v6);
    EXPECT_EQ(exceeded.received->icmp->length - 4, 1236u);
    EXPECT_EQ(exceeded.received->icmp->quoted->header_length, packets::ipv6_header_length);
    const auto least = read_answer(answer_v6(3, 255, 9, 48), target_v6);  // the UDP header alone
    ASSERT_TRUE(least.answer);
    EXPECT_EQ(least.answer->train_id, 255);
    EXPECT_EQ(least.answer->packet_index, 9u);

    const auto reached = read_answer(answer_v6(1, 5, 0, 48, target_v6, target_v6), target_v6);
    ASSERT_TRUE(reached.answer);
    EXPECT_TRUE(reached.answer->from_target);

    EXPECT_FALSE(read_answer(answer_v6(1, 5, 0, 48), target_v6).answer) << "a router's Unreachable";
    const auto elsewhere = read_answer(answer_v6(3, 2, 0, 48, router_v6), target_v6);
    EXPECT_FALSE(elsewhere.answer);
    EXPECT_EQ(elsewhere.received->icmp->quoted->destination, router_v6);
    EXPECT_FALSE(read_answer(answer_v6(3, 4, 2, 48), target_v6, own_port + 1).answer) << "another's train";
    const Bytes hop_probe = engines::hop::build_ttl_probe(0x8103, 4, {49153}, client_v6, target_v6);
    EXPECT_FALSE(read_answer(answer_v6_quoting(3, hop_probe, hop_probe.size()), target_v6).answer)
        << "a hop engine probe";
    const auto cut = read_answer(answer_v6(3, 2, 0, 47), target_v6);
    EXPECT_FALSE(cut.answer);
    EXPECT_EQ(cut.received->icmp->quoted->transport.size(), 7u) << "7 quoted transport bytes";
    EXPECT_FALSE(read_answer(answer(11, 2, 0, 28), target_v6).received) << "an IPv4 answer";
    EXPECT_FALSE(read_answer(answer_v6(3, 2, 0, 48), target).received) << "an IPv6 answer, IPv4 target";
}

}  // namespace
