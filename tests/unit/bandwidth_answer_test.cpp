#include <gtest/gtest.h>

#include <vector>

#include "engines/bandwidth/answer_parser.hpp"
#include "engines/bandwidth/train_packet.hpp"
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

struct RecordedSteps : AnswerSteps {
    std::vector<std::string> seen;
    void outer_header_unreadable(std::size_t) override { seen.push_back("unreadable"); }
    void time_exceeded(std::size_t payload) override { seen.push_back("te " + std::to_string(payload)); }
    void destination_mismatch() override { seen.push_back("mismatch"); }
    void quoted_transport_too_short() override { seen.push_back("short"); }
    void quoted_ports(std::uint16_t destination, std::uint16_t source) override {
        seen.push_back("ports " + std::to_string(destination) + " " + std::to_string(source));
    }
};

// A Time Exceeded (or other type) from `from` (the router unless told)
// quoting `quoted_bytes` of a train packet.
Bytes answer(std::uint8_t type, std::uint8_t hop, unsigned index, std::size_t quoted_bytes,
             packets::IpAddress destination = target, packets::IpAddress from = router) {
    const auto packet = build_train_packet(25, hop, index, client, destination, own_port);
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

TEST(TrainAnswer, ThePortNamesHopAndPacket) {
    RecordedSteps steps;
    const auto last = parse_train_answer(answer(11, 30, 9, 28), target, own_port, steps);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->destination_port, 33733);
    EXPECT_EQ(last->hop, 30);
    EXPECT_EQ(last->packet_index, 9u);
    EXPECT_FALSE(last->from_target);
    EXPECT_EQ(steps.seen, (std::vector<std::string>{"te 32", "ports 33733 50000"}));

    const auto whole = parse_train_answer(answer(11, 3, 7, 1400), target, own_port, steps);  // a router quoting it all
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->hop, 3);
    EXPECT_EQ(whole->packet_index, 7u);
}

TEST(TrainAnswer, TheTargetsUnreachableTellsThatTheTrainReachedIt) {
    RecordedSteps steps;
    const auto reached = parse_train_answer(answer(3, 5, 2, 28, target, target), target, own_port, steps);
    ASSERT_TRUE(reached.has_value());
    EXPECT_TRUE(reached->from_target);
    EXPECT_EQ(reached->hop, 5);
    EXPECT_EQ(steps.seen, (std::vector<std::string>{"ports 33476 50000"})) << "no Time Exceeded step";
}

TEST(TrainAnswer, WhatIsIgnored) {
    RecordedSteps steps;
    Bytes beyond = answer(11, 30, 9, 28);
    beyond[20 + 8 + 22] = 0x83, beyond[20 + 8 + 23] = 0xC6;  // quoted port 33734
    EXPECT_FALSE(parse_train_answer(beyond, target, own_port, steps).has_value());
    EXPECT_EQ(steps.seen.back(), "ports 33734 50000");

    Bytes hop_probe = answer(11, 2, 0, 28);
    hop_probe[20 + 8 + 20] = 0xC0, hop_probe[20 + 8 + 21] = 0x01;  // source port 49153: a hop engine probe
    EXPECT_FALSE(parse_train_answer(hop_probe, target, own_port, steps).has_value());
    EXPECT_EQ(steps.seen.back(), "ports 33444 49153");
    EXPECT_FALSE(parse_train_answer(answer(11, 2, 0, 28), target, own_port + 1, steps).has_value())
        << "another program's train to the same target";

    EXPECT_FALSE(parse_train_answer(answer(11, 2, 0, 28, router), target, own_port, steps).has_value());
    EXPECT_EQ(steps.seen.back(), "mismatch");

    EXPECT_FALSE(parse_train_answer(answer(11, 2, 0, 24), target, own_port, steps).has_value());
    EXPECT_EQ(steps.seen.back(), "short") << "4 quoted transport bytes";

    steps.seen.clear();
    EXPECT_FALSE(parse_train_answer(answer(11, 2, 0, 19), target, own_port, steps).has_value());
    EXPECT_EQ(steps.seen, (std::vector<std::string>{"te 23"})) << "no room for the quoted header";

    EXPECT_FALSE(parse_train_answer(answer(3, 2, 0, 28), target, own_port, steps).has_value())
        << "a router's Destination Unreachable";
    EXPECT_FALSE(parse_train_answer(Bytes(19, 0x45), target, own_port, steps).has_value());
    EXPECT_EQ(steps.seen.back(), "unreadable");

    Bytes truncated_total = answer(11, 2, 0, 28);
    truncated_total[2] = 0, truncated_total[3] = 22;  // total length leaves 2 ICMP bytes
    EXPECT_FALSE(parse_train_answer(truncated_total, target, own_port, steps).has_value());
}

constexpr packets::IpAddress client_v6 = sim::test_network::client_v6;
constexpr packets::IpAddress target_v6 = sim::test_network::server_v6;
constexpr packets::IpAddress router_v6 = sim::test_network::r2_v6;

// An ICMPv6 message of `type` from `from` quoting `quoted_bytes` of an IPv6 train packet to `destination`.
Bytes answer_v6(std::uint8_t type, std::uint8_t hop, unsigned index, std::size_t quoted_bytes,
                packets::IpAddress destination = target_v6, packets::IpAddress from = router_v6) {
    const auto packet = build_train_packet(25, hop, index, client_v6, destination, own_port);
    Bytes datagram(packets::ipv6_header_length, 0);
    packets::write_ipv6_header(std::span(datagram).first<packets::ipv6_header_length>(),
                               {static_cast<std::uint16_t>(8 + quoted_bytes), packets::protocol_icmpv6, 64, from,
                                client_v6});
    datagram.insert(datagram.end(), {type, 0, 0, 0, 0, 0, 0, 0});
    datagram.insert(datagram.end(), packet.begin(), packet.begin() + static_cast<long>(quoted_bytes));
    return datagram;
}

TEST(TrainPacket, Ipv6PacketIsAsLongWithItsUdpChecksum) {
    const auto packet = build_train_packet(25, 3, 7, client_v6, target_v6, own_port);
    ASSERT_EQ(packet.size(), train_packet_size) << "the same bytes on the wire as over IPv4";
    const auto view = packets::Ipv6View::read(packet);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->hop_limit(), 3);
    EXPECT_EQ(view->payload().size(), 1360u);
    const auto udp = std::span(packet).subspan(packets::ipv6_header_length);
    EXPECT_EQ(packets::read_u16(udp, 0), 50000);
    EXPECT_EQ(packets::read_u16(udp, 2), 33461);
    EXPECT_EQ(packets::read_u16(udp, 4), 1360);
    EXPECT_EQ(packets::ipv6_upper_layer_checksum(client_v6, target_v6, packets::protocol_udp, udp), 0);
}

TEST(TrainAnswer, Ipv6AnswersNameHopAndPacketAsIpv4Ones) {
    RecordedSteps steps;
    // quoting to 1280 bytes
    const auto exceeded = parse_train_answer(answer_v6(3, 4, 2, 1232), target_v6, own_port, steps);
    ASSERT_TRUE(exceeded);
    EXPECT_EQ(exceeded->hop, 4);
    EXPECT_EQ(exceeded->packet_index, 2u);
    EXPECT_FALSE(exceeded->from_target);
    EXPECT_EQ(steps.seen, (std::vector<std::string>{"te 1236", "ports 33466 50000"}));

    const auto reached = parse_train_answer(answer_v6(1, 5, 0, 48, target_v6, target_v6), target_v6, own_port, steps);
    ASSERT_TRUE(reached);
    EXPECT_TRUE(reached->from_target);

    EXPECT_FALSE(parse_train_answer(answer_v6(1, 5, 0, 48), target_v6, own_port, steps)) << "a router's Unreachable";
    EXPECT_FALSE(parse_train_answer(answer_v6(3, 2, 0, 48, router_v6), target_v6, own_port, steps));
    EXPECT_EQ(steps.seen.back(), "mismatch");
    EXPECT_FALSE(parse_train_answer(answer_v6(3, 4, 2, 48), target_v6, own_port + 1, steps)) << "another's train";
    EXPECT_FALSE(parse_train_answer(answer_v6(3, 2, 0, 44), target_v6, own_port, steps));
    EXPECT_EQ(steps.seen.back(), "short") << "4 quoted transport bytes";
    EXPECT_FALSE(parse_train_answer(answer(11, 2, 0, 28), target_v6, own_port, steps)) << "an IPv4 answer";
    EXPECT_FALSE(parse_train_answer(answer_v6(3, 2, 0, 48), target, own_port, steps)) << "an IPv6 answer, IPv4 target";
}

}  // namespace
