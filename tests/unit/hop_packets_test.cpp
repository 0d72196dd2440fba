#include <gtest/gtest.h>

#include <vector>

#include "engines/hop/echo_packet.hpp"
#include "engines/hop/probe_packet.hpp"
#include "engines/hop/reply_parser.hpp"
#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::hop;
using Bytes = std::vector<std::uint8_t>;

constexpr packets::Ipv4 client(0xC0A8010A);  // 192.168.1.10
constexpr packets::Ipv4 target(0xCB00710A);  // 203.0.113.10
constexpr packets::Ipv4 router(0xC6336406);  // 198.51.100.6

TEST(TtlProbe, LayoutAndChecksum) {
    const auto probe = build_ttl_probe(7, 3, client, target);
    const Bytes expected = {0x45, 0x00, 0x00, 0x1C, 0x00, 0x07, 0x40, 0x00, 0x03, 0x11, 0x00, 0x00,  // checksum later
                            0xC0, 0xA8, 0x01, 0x0A, 0xCB, 0x00, 0x71, 0x0A,
                            0xC0, 0x07, 0x82, 0xA1, 0x00, 0x08, 0x00, 0x00};  // ports 49159 -> 33441
    Bytes actual(probe.begin(), probe.end());
    EXPECT_EQ(packets::internet_checksum(std::span(probe).first(20)), 0) << "checksum must verify";
    actual[10] = actual[11] = 0;
    EXPECT_EQ(actual, expected);
    // RFC 1071 example words 0x0001 0xf203 0xf4f5 0xf6f7 sum to 0xddf2, checksum 0x220d.
    const Bytes rfc = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(packets::internet_checksum(rfc), 0x220D);
}

TEST(TtlProbe, PortsFollowTheIdAndWrap) {
    EXPECT_EQ(probe_source_port(0), 49152);
    EXPECT_EQ(probe_destination_port(0), 33434);
    EXPECT_EQ(probe_source_port(65535), 49151);
    EXPECT_EQ(probe_destination_port(65535), 33469);
    EXPECT_EQ(probe_destination_port(199), 33533);
}

// An IPv4 datagram from `from` carrying an ICMP message of `type` that quotes `quoted`.
Bytes icmp_reply(std::uint8_t type, packets::Ipv4 from, const Bytes& quoted, std::size_t outer_header = 20) {
    Bytes datagram(outer_header, 0);
    datagram[0] = static_cast<std::uint8_t>(0x40 | (outer_header / 4));
    datagram[9] = 1;
    packets::write_u32(datagram, 12, from.number());
    Bytes icmp = {type, 0, 0, 0, 0, 0, 0, 0};
    icmp.insert(icmp.end(), quoted.begin(), quoted.end());
    datagram.insert(datagram.end(), icmp.begin(), icmp.end());
    const auto total = static_cast<std::uint16_t>(datagram.size());
    datagram[2] = static_cast<std::uint8_t>(total >> 8);
    datagram[3] = static_cast<std::uint8_t>(total);
    return datagram;
}

Bytes quoted_probe(std::uint16_t id, std::uint8_t ttl = 3) {
    const auto probe = build_ttl_probe(id, ttl, client, target);
    return Bytes(probe.begin(), probe.end());
}

TEST(ReplyParsing, TimeExceededAndDestinationUnreachableQuotingAProbe) {
    const auto exceeded = parse_probe_reply(icmp_reply(11, router, quoted_probe(1234)), target);
    ASSERT_TRUE(exceeded.reply.has_value());
    EXPECT_EQ(exceeded.reply->probe_id, 1234);
    EXPECT_EQ(exceeded.reply->source, router);
    EXPECT_EQ(exceeded.time_exceeded_from, router);

    const auto unreachable = parse_probe_reply(icmp_reply(3, target, quoted_probe(9)), target);
    ASSERT_TRUE(unreachable.reply.has_value());
    EXPECT_EQ(unreachable.reply->source, target);
    EXPECT_FALSE(unreachable.time_exceeded_from.has_value());

    const auto options = parse_probe_reply(icmp_reply(11, router, quoted_probe(77), 24), target);  // IHL 6
    ASSERT_TRUE(options.reply.has_value());
    EXPECT_EQ(options.reply->probe_id, 77);
}

TEST(ReplyParsing, LengthRules) {
    Bytes quoted = quoted_probe(5);
    quoted.resize(24);  // ICMP message of 32 bytes: enough
    EXPECT_TRUE(parse_probe_reply(icmp_reply(11, router, quoted), target).reply.has_value());
    quoted.resize(23);  // 31 bytes: dropped, but still a logged Time Exceeded
    const auto short_message = parse_probe_reply(icmp_reply(11, router, quoted), target);
    EXPECT_FALSE(short_message.reply.has_value());
    EXPECT_TRUE(short_message.time_exceeded_from.has_value());

    Bytes below_header = icmp_reply(11, router, quoted_probe(5));
    below_header[2] = 0;
    below_header[3] = 10;  // total length below the header length: ICMP length 0
    EXPECT_FALSE(parse_probe_reply(below_header, target).time_exceeded_from.has_value());

    Bytes truncated = icmp_reply(11, router, quoted_probe(5));
    truncated.resize(20);  // nothing after the header
    EXPECT_FALSE(parse_probe_reply(truncated, target).time_exceeded_from.has_value());
    EXPECT_FALSE(parse_probe_reply(Bytes(19, 0x45), target).time_exceeded_from.has_value());
}

TEST(ReplyParsing, ForeignQuotesAreNotMatched) {
    Bytes tcp = quoted_probe(5);
    tcp[9] = 6;
    const auto quoted_tcp = parse_probe_reply(icmp_reply(11, router, tcp), target);
    EXPECT_FALSE(quoted_tcp.reply.has_value());
    EXPECT_TRUE(quoted_tcp.time_exceeded_from.has_value());

    Bytes elsewhere = quoted_probe(5);
    elsewhere[19] = 11;  // destination 203.0.113.11
    EXPECT_FALSE(parse_probe_reply(icmp_reply(11, router, elsewhere), target).reply.has_value());

    Bytes other_sender = quoted_probe(5);
    other_sender[20] = 0xC3;  // source port 50000: a bandwidth train, not a probe
    other_sender[21] = 0x50;
    EXPECT_FALSE(parse_probe_reply(icmp_reply(11, router, other_sender), target).reply.has_value());

    EXPECT_FALSE(parse_probe_reply(icmp_reply(0, router, quoted_probe(5)), target).reply.has_value());
}

TEST(EchoRequest, LayoutAndReplyMatching) {
    const auto request = build_echo_request(0x1234, 1);
    EXPECT_EQ(Bytes(request.begin(), request.end()), (Bytes{8, 0, 0xE5, 0xCA, 0x12, 0x34, 0x00, 0x01}));
    EXPECT_EQ(packets::internet_checksum(request), 0);

    Bytes reply = {0x45, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // IPv4 header
                   0, 0, 0, 0, 0x12, 0x34, 0x00, 0x01};                               // echo reply
    EXPECT_TRUE(is_echo_reply(reply, router, 0x1234, 1, router));
    EXPECT_FALSE(is_echo_reply(reply, router, 0x1234, 2, router)) << "a late reply to an earlier request";
    EXPECT_FALSE(is_echo_reply(reply, target, 0x1234, 1, router)) << "from another host";
    EXPECT_FALSE(is_echo_reply(reply, router, 0x1235, 1, router));
    reply[20] = 11;
    EXPECT_FALSE(is_echo_reply(reply, router, 0x1234, 1, router));
    reply.resize(27);
    EXPECT_FALSE(is_echo_reply(reply, router, 0x1234, 1, router));
}

}  // namespace
