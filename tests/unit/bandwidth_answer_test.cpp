#include <gtest/gtest.h>

#include <optional>
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
    const auto last = read_answer(answer(11, 30, 9, 28), target);
    ASSERT_TRUE(last.answer.has_value());
    EXPECT_EQ(last.answer->destination_port, 33733);
    EXPECT_EQ(last.answer->hop, 30);
    EXPECT_EQ(last.answer->packet_index, 9u);
    EXPECT_FALSE(last.answer->from_target);
    EXPECT_EQ(last.answer->from, router) << "the router's address goes with the hop's samples";
    EXPECT_EQ(last.received->icmp->length - 4, 32u) << "the logged payload length";

    const auto whole = read_answer(answer(11, 3, 7, 1400), target);  // a router quoting it all
    ASSERT_TRUE(whole.answer.has_value());
    EXPECT_EQ(whole.answer->hop, 3);
    EXPECT_EQ(whole.answer->packet_index, 7u);
}

TEST(TrainAnswer, TheTargetsUnreachableTellsThatTheTrainReachedIt) {
    const auto reached = read_answer(answer(3, 5, 2, 28, target, target), target);
    ASSERT_TRUE(reached.answer.has_value());
    EXPECT_TRUE(reached.answer->from_target);
    EXPECT_EQ(reached.answer->hop, 5);
    EXPECT_TRUE(is_target_unreachable(*reached.received, target));
    EXPECT_FALSE(is_target_unreachable(*read_answer(answer(3, 5, 2, 28), target).received, target))
        << "a router's Destination Unreachable";
}

TEST(TrainAnswer, WhatIsIgnored) {
    Bytes beyond = answer(11, 30, 9, 28);
    beyond[20 + 8 + 22] = 0x83, beyond[20 + 8 + 23] = 0xC6;  // quoted port 33734
    const auto beyond_read = read_answer(beyond, target);
    EXPECT_FALSE(beyond_read.answer.has_value());
    const auto beyond_ports = packets::TransportPorts::read(beyond_read.received->icmp->quoted->transport);
    EXPECT_EQ(beyond_ports->destination, 33734);

    Bytes hop_probe = answer(11, 2, 0, 28);
    hop_probe[20 + 8 + 20] = 0xC0, hop_probe[20 + 8 + 21] = 0x01;  // source port 49153: a hop engine probe
    EXPECT_FALSE(read_answer(hop_probe, target).answer.has_value());
    EXPECT_FALSE(read_answer(answer(11, 2, 0, 28), target, own_port + 1).answer.has_value())
        << "another program's train to the same target";

    const auto elsewhere = read_answer(answer(11, 2, 0, 28, router), target);
    EXPECT_FALSE(elsewhere.answer.has_value());
    EXPECT_EQ(elsewhere.received->icmp->quoted->destination, router) << "a destination mismatch";

    const auto cut = read_answer(answer(11, 2, 0, 24), target);
    EXPECT_FALSE(cut.answer.has_value());
    EXPECT_EQ(cut.received->icmp->quoted->transport.size(), 4u) << "4 quoted transport bytes: too short";

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
    // quoting to 1280 bytes
    const auto exceeded = read_answer(answer_v6(3, 4, 2, 1232), target_v6);
    ASSERT_TRUE(exceeded.answer);
    EXPECT_EQ(exceeded.answer->hop, 4);
    EXPECT_EQ(exceeded.answer->packet_index, 2u);
    EXPECT_FALSE(exceeded.answer->from_target);
    EXPECT_EQ(exceeded.answer->from, router_v6);
    EXPECT_EQ(exceeded.received->icmp->length - 4, 1236u);
    EXPECT_EQ(exceeded.received->icmp->quoted->header_length, packets::ipv6_header_length);

    const auto reached = read_answer(answer_v6(1, 5, 0, 48, target_v6, target_v6), target_v6);
    ASSERT_TRUE(reached.answer);
    EXPECT_TRUE(reached.answer->from_target);

    EXPECT_FALSE(read_answer(answer_v6(1, 5, 0, 48), target_v6).answer) << "a router's Unreachable";
    const auto elsewhere = read_answer(answer_v6(3, 2, 0, 48, router_v6), target_v6);
    EXPECT_FALSE(elsewhere.answer);
    EXPECT_EQ(elsewhere.received->icmp->quoted->destination, router_v6);
    EXPECT_FALSE(read_answer(answer_v6(3, 4, 2, 48), target_v6, own_port + 1).answer) << "another's train";
    const auto cut = read_answer(answer_v6(3, 2, 0, 44), target_v6);
    EXPECT_FALSE(cut.answer);
    EXPECT_EQ(cut.received->icmp->quoted->transport.size(), 4u) << "4 quoted transport bytes";
    EXPECT_FALSE(read_answer(answer(11, 2, 0, 28), target_v6).received) << "an IPv4 answer";
    EXPECT_FALSE(read_answer(answer_v6(3, 2, 0, 48), target).received) << "an IPv6 answer, IPv4 target";
}

}  // namespace
