#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engines/hop/echo_packet.hpp"
#include "engines/hop/probe_packet.hpp"
#include "engines/hop/reply_parser.hpp"
#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/ipv6.hpp"
#include "packets/tcp_segment.hpp"
#include "packets/views.hpp"
#include "simulated_path.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::hop;
using Bytes = std::vector<std::uint8_t>;

constexpr packets::IpAddress client{packets::Ipv4(0xC0A8010A)};  // 192.168.1.10
constexpr packets::IpAddress target{packets::Ipv4(0xCB00710A)};  // 203.0.113.10
constexpr packets::IpAddress router{packets::Ipv4(0xC6336406)};  // 198.51.100.6

// The checksum over the pseudo-header and a TCP or UDP message, written here apart from
// the code under test: 0 when the message's checksum is correct.
std::uint16_t transport_sum(const packets::IpAddress& source, const packets::IpAddress& destination,
                            std::uint8_t protocol, std::span<const std::uint8_t> segment) {
    Bytes summed;
    if (source.is_v4()) {
        summed.assign(12, 0);
        packets::write_u32(summed, 0, source.v4().number());
        packets::write_u32(summed, 4, destination.v4().number());
        summed[9] = protocol;
        packets::write_u16(summed, 10, static_cast<std::uint16_t>(segment.size()));
    } else {
        summed.assign(40, 0);
        std::copy(source.octets().begin(), source.octets().end(), summed.begin());
        std::copy(destination.octets().begin(), destination.octets().end(), summed.begin() + 16);
        packets::write_u32(summed, 32, static_cast<std::uint32_t>(segment.size()));
        summed[39] = protocol;
    }
    summed.insert(summed.end(), segment.begin(), segment.end());
    return packets::internet_checksum(summed);
}

// The engine's own UDP port 40434 to the traceroute base port.
constexpr ProbeFlows flows{0x9DF2};
constexpr ProbeFlow flow = flows.flow(0);

TEST(TtlProbe, LayoutAndChecksum) {
    const auto probe = build_ttl_probe(7, 3, flow, client, target);
    const Bytes expected = {0x45, 0x00, 0x00, 0x1E, 0x00, 0x07, 0x40, 0x00, 0x03, 0x11, 0x00, 0x00,  // checksum later
                            0xC0, 0xA8, 0x01, 0x0A, 0xCB, 0x00, 0x71, 0x0A, 0x9D, 0xF2, 0x82, 0x9A,  // 40434 -> 33434
                            0x00, 0x0A, 0x00, 0x07};  // length 10, the id as checksum; the payload word follows
    ASSERT_EQ(probe.size(), ttl_probe_size);
    Bytes actual(probe.begin(), probe.begin() + 28);
    EXPECT_EQ(packets::internet_checksum(std::span(probe).first(20)), 0) << "checksum must verify";
    actual[10] = actual[11] = 0;
    EXPECT_EQ(actual, expected);
    // RFC 1071 example words 0x0001 0xf203 0xf4f5 0xf6f7 sum to 0xddf2, checksum 0x220d.
    const Bytes rfc = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(packets::internet_checksum(rfc), 0x220D);
}

// Every probe of the flow: the same addresses, protocol, ports, traffic class
// and flow label; the id in the UDP checksum, which verifies over the pseudo-header.
TEST(TtlProbe, OneFlowWithTheIdAsAVerifyingUdpChecksumInBothFamilies) {
    const packets::IpAddress client_v6 = sim::test_network::client_v6;
    const packets::IpAddress target_v6 = sim::test_network::server_v6;
    for (const auto& [source, destination] : {std::pair{client, target}, std::pair{client_v6, target_v6}}) {
        const std::size_t header = source.is_v4() ? 20 : 40;
        const Bytes first = build_ttl_probe(1, 5, flow, source, destination);
        for (const std::uint16_t id : std::vector<std::uint16_t>{1, 2, 7, 0x1234, 0x8000, 0xFFFE, 0xFFFF}) {
            const Bytes probe = build_ttl_probe(id, 5, flow, source, destination);
            ASSERT_EQ(probe.size(), source.is_v4() ? ttl_probe_size : ttl_probe_size_ipv6);
            const auto udp = std::span(probe).subspan(header);
            EXPECT_EQ(packets::read_u16(udp, 6), id) << "the id as the UDP checksum";
            EXPECT_EQ(transport_sum(source, destination, packets::protocol_udp, udp), 0)
                << "the checksum verifies, id " << id;
            if (source.is_v4()) {
                EXPECT_EQ(packets::read_u16(probe, 4), id) << "and as the identification";
                EXPECT_TRUE(std::equal(probe.begin() + 8, probe.begin() + 10, first.begin() + 8)) << "TTL, protocol";
                EXPECT_TRUE(std::equal(probe.begin() + 12, probe.begin() + 24, first.begin() + 12))
                    << "addresses and ports";
            } else {
                EXPECT_TRUE(std::equal(probe.begin(), probe.begin() + 44, first.begin()))
                    << "traffic class, flow label, addresses and ports";
            }
        }
        const Bytes other_port = build_ttl_probe(9, 5, {flow.source_port, 33500}, source, destination);
        EXPECT_EQ(packets::read_u16(other_port, header + 2), 33500) << "the flow's destination port";
    }
}

TEST(TtlProbe, IdsWrapRoundAndSkipZero) {
    ProbeIds ids(0xFFFE);
    EXPECT_EQ(ids.take(), 0xFFFE);
    EXPECT_EQ(ids.take(), 0xFFFF);
    EXPECT_EQ(ids.take(), 1);
    EXPECT_EQ(ids.take(), 2);
    EXPECT_EQ(ProbeIds(0).take(), 1);
}

// An IPv4 datagram from `from` carrying an ICMP message of `type` that quotes `quoted`.
Bytes icmp_reply(std::uint8_t type, packets::IpAddress from, const Bytes& quoted, std::size_t outer_header = 20) {
    Bytes datagram(outer_header, 0);
    datagram[0] = static_cast<std::uint8_t>(0x40 | (outer_header / 4));
    datagram[9] = 1;
    packets::write_u32(datagram, 12, from.v4().number());
    Bytes icmp = {type, 0, 0, 0, 0, 0, 0, 0};
    icmp.insert(icmp.end(), quoted.begin(), quoted.end());
    datagram.insert(datagram.end(), icmp.begin(), icmp.end());
    const auto total = static_cast<std::uint16_t>(datagram.size());
    datagram[2] = static_cast<std::uint8_t>(total >> 8);
    datagram[3] = static_cast<std::uint8_t>(total);
    return datagram;
}

Bytes quoted_probe(std::uint16_t id, std::uint8_t ttl = 3) {
    const auto probe = build_ttl_probe(id, ttl, flow, client, target);
    return Bytes(probe.begin(), probe.begin() + 28);  // what a router quotes: the IP header and 8 bytes
}

TEST(ReplyParsing, TimeExceededAndDestinationUnreachableQuotingAProbe) {
    const auto exceeded = parse_probe_reply(icmp_reply(11, router, quoted_probe(1234)), target, flows);
    ASSERT_TRUE(exceeded.reply.has_value());
    EXPECT_EQ(exceeded.reply->probe_id, 1234);
    EXPECT_EQ(exceeded.reply->source, router);
    EXPECT_EQ(exceeded.time_exceeded_from, router);

    const auto unreachable = parse_probe_reply(icmp_reply(3, target, quoted_probe(9)), target, flows);
    ASSERT_TRUE(unreachable.reply.has_value());
    EXPECT_EQ(unreachable.reply->source, target);
    EXPECT_FALSE(unreachable.time_exceeded_from.has_value());

    const auto options = parse_probe_reply(icmp_reply(11, router, quoted_probe(77), 24), target, flows);  // IHL 6
    ASSERT_TRUE(options.reply.has_value());
    EXPECT_EQ(options.reply->probe_id, 77);
}

TEST(ReplyParsing, LengthRules) {
    Bytes quoted = quoted_probe(5);  // ICMP message of 36 bytes: the UDP header whole, enough
    EXPECT_TRUE(parse_probe_reply(icmp_reply(11, router, quoted), target, flows).reply.has_value());
    quoted.resize(27);  // the checksum cut short: dropped, but still a logged Time Exceeded
    const auto short_message = parse_probe_reply(icmp_reply(11, router, quoted), target, flows);
    EXPECT_FALSE(short_message.reply.has_value());
    EXPECT_TRUE(short_message.time_exceeded_from.has_value());

    Bytes below_header = icmp_reply(11, router, quoted_probe(5));
    below_header[2] = 0;
    below_header[3] = 10;  // total length below the header length: ICMP length 0
    EXPECT_FALSE(parse_probe_reply(below_header, target, flows).time_exceeded_from.has_value());

    Bytes truncated = icmp_reply(11, router, quoted_probe(5));
    truncated.resize(20);  // nothing after the header
    EXPECT_FALSE(parse_probe_reply(truncated, target, flows).time_exceeded_from.has_value());
    EXPECT_FALSE(parse_probe_reply(Bytes(19, 0x45), target, flows).time_exceeded_from.has_value());
}

TEST(ReplyParsing, ForeignQuotesAreNotMatched) {
    Bytes tcp = quoted_probe(5);
    tcp[9] = 6;
    const auto quoted_tcp = parse_probe_reply(icmp_reply(11, router, tcp), target, flows);
    EXPECT_FALSE(quoted_tcp.reply.has_value());
    EXPECT_TRUE(quoted_tcp.time_exceeded_from.has_value());

    Bytes elsewhere = quoted_probe(5);
    elsewhere[19] = 11;  // destination 203.0.113.11
    EXPECT_FALSE(parse_probe_reply(icmp_reply(11, router, elsewhere), target, flows).reply.has_value());

    const auto matches = [](const Bytes& quoted) {
        return parse_probe_reply(icmp_reply(11, router, quoted), target, flows).reply.has_value();
    };
    const auto other_flow = [](ProbeFlow other) {
        const auto probe = build_ttl_probe(5, 3, other, client, target);
        return Bytes(probe.begin(), probe.begin() + 28);
    };
    EXPECT_FALSE(matches(other_flow({50000}))) << "another engine's or program's port";
    EXPECT_FALSE(matches(other_flow({flow.source_port, 33434 + probe_flow_count}))) << "a port past the flows'";
    const auto last_flow = build_ttl_probe(5, 3, flows.flow(probe_flow_count - 1), client, target);
    const auto reply = parse_probe_reply(icmp_reply(11, router, Bytes(last_flow.begin(), last_flow.begin() + 28)),
                                         target, flows)
                           .reply;
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->flow, probe_flow_count - 1) << "each flow's destination port names it";
    EXPECT_EQ(reply->probe_id, 5);

    Bytes rewritten = quoted_probe(5);
    rewritten[4] = 0x9A;  // an identification a scrubbing firewall replaced
    const auto still_named = parse_probe_reply(icmp_reply(11, router, rewritten), target, flows).reply;
    ASSERT_TRUE(still_named) << "the checksum alone names the probe";
    EXPECT_EQ(still_named->probe_id, 5);
    Bytes no_checksum = quoted_probe(5);
    no_checksum[4] = no_checksum[5] = no_checksum[26] = no_checksum[27] = 0;  // identification 0, no UDP checksum
    EXPECT_FALSE(matches(no_checksum));

    EXPECT_FALSE(parse_probe_reply(icmp_reply(0, router, quoted_probe(5)), target, flows).reply.has_value());
}

TEST(EchoRequest, LayoutAndReplyMatching) {
    const auto request = build_echo_request(0x1234, 1, client, router);
    EXPECT_EQ(Bytes(request.begin(), request.end()), (Bytes{8, 0, 0xE5, 0xCA, 0x12, 0x34, 0x00, 0x01}));
    EXPECT_EQ(packets::internet_checksum(request), 0);

    Bytes reply = {0x45, 0, 0, 0, 0,    0,    0,    0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // IPv4 header
                   0,    0, 0, 0, 0x12, 0x34, 0x00, 0x01};                                    // echo reply
    EXPECT_TRUE(is_echo_reply(reply, router, 0x1234, 1, router));
    EXPECT_FALSE(is_echo_reply(reply, router, 0x1234, 2, router)) << "a late reply to an earlier request";
    EXPECT_FALSE(is_echo_reply(reply, target, 0x1234, 1, router)) << "from another host";
    EXPECT_FALSE(is_echo_reply(reply, router, 0x1235, 1, router));
    reply[20] = 11;
    EXPECT_FALSE(is_echo_reply(reply, router, 0x1234, 1, router));
    reply.resize(27);
    EXPECT_FALSE(is_echo_reply(reply, router, 0x1234, 1, router));
}

constexpr packets::IpAddress client_v6 = sim::test_network::client_v6;
constexpr packets::IpAddress target_v6 = sim::test_network::server_v6;
constexpr packets::IpAddress router_v6 = sim::test_network::r2_v6;

// An IPv6 packet from `from` to the client carrying an ICMPv6 message of `type` (code `code`) that quotes `quoted`.
Bytes icmpv6_reply(std::uint8_t type, std::uint8_t code, packets::IpAddress from, const Bytes& quoted) {
    Bytes packet(packets::ipv6_header_length, 0);
    packets::write_ipv6_header(
        std::span(packet).first<packets::ipv6_header_length>(),
        {static_cast<std::uint16_t>(8 + quoted.size()), packets::protocol_icmpv6, 64, from, client_v6});
    packet.insert(packet.end(), {type, code, 0, 0, 0, 0, 0, 0});
    packet.insert(packet.end(), quoted.begin(), quoted.end());
    return packet;
}

TEST(TtlProbe, Ipv6Layout) {
    const auto probe = build_ttl_probe(7, 3, flow, client_v6, target_v6);
    ASSERT_EQ(probe.size(), ttl_probe_size_ipv6);
    const auto view = packets::Ipv6View::read(probe);
    ASSERT_TRUE(view);
    EXPECT_EQ(Bytes(probe.begin(), probe.begin() + 4), (Bytes{0x60, 0, 0, 0}))
        << "version 6, traffic class and flow label 0";
    EXPECT_EQ(view->hop_limit(), 3);
    EXPECT_EQ(view->next_header(), packets::protocol_udp);
    EXPECT_EQ(view->source(), client_v6);
    EXPECT_EQ(view->destination(), target_v6);
    EXPECT_EQ(Bytes(probe.begin() + 40, probe.begin() + 48),
              (Bytes{0x9D, 0xF2, 0x82, 0x9A, 0x00, 0x0A, 0x00, 0x07}));  // 40434 -> 33434, length 10, checksum 7
}

TEST(ReplyParsing, Ipv6TimeExceededAndPortUnreachableMatchTheirProbes) {
    const Bytes probe = build_ttl_probe(1234, 2, flow, client_v6, target_v6);
    const auto exceeded = parse_probe_reply(icmpv6_reply(3, 0, router_v6, probe), target_v6, flows);
    EXPECT_EQ(exceeded.time_exceeded_from, router_v6);
    ASSERT_TRUE(exceeded.reply);
    EXPECT_EQ(exceeded.reply->probe_id, 1234);
    EXPECT_EQ(exceeded.reply->source, router_v6);

    const auto unreachable = parse_probe_reply(
        icmpv6_reply(1, 4, target_v6, build_ttl_probe(0xFFFF, 4, flow, client_v6, target_v6)), target_v6, flows);
    EXPECT_FALSE(unreachable.time_exceeded_from);
    ASSERT_TRUE(unreachable.reply);
    EXPECT_EQ(unreachable.reply->probe_id, 0xFFFF);

    // A router quoting only the headers still names the probe.
    const Bytes headers_only(probe.begin(), probe.begin() + 48);
    EXPECT_TRUE(parse_probe_reply(icmpv6_reply(3, 0, router_v6, headers_only), target_v6, flows).reply.has_value());
}

TEST(ReplyParsing, Ipv6ForeignQuotesAndTheOtherFamilyAreNotMatched) {
    const Bytes probe = build_ttl_probe(5, 2, flow, client_v6, target_v6);
    const auto matches = [](const Bytes& quoted) {
        return parse_probe_reply(icmpv6_reply(3, 0, router_v6, quoted), target_v6, flows).reply.has_value();
    };
    EXPECT_FALSE(matches(build_ttl_probe(5, 2, flow, client_v6, router_v6))) << "a probe to another host";
    EXPECT_FALSE(matches(build_ttl_probe(5, 2, {50000}, client_v6, target_v6))) << "another program's port";
    EXPECT_FALSE(matches(build_ttl_probe(5, 2, {flow.source_port, 33434 + probe_flow_count}, client_v6, target_v6)))
        << "another destination port";
    Bytes no_checksum = probe;
    no_checksum[46] = no_checksum[47] = 0;
    EXPECT_FALSE(matches(no_checksum));
    EXPECT_FALSE(parse_probe_reply(icmpv6_reply(128, 0, router_v6, probe), target_v6, flows).reply) << "an echo request";
    EXPECT_FALSE(matches(Bytes(probe.begin(), probe.begin() + 47))) << "checksum cut off";

    // An IPv4 reply for an IPv6 target, and the other way round, are not read at all.
    const Bytes ipv4_reply = icmp_reply(11, router, quoted_probe(5));
    EXPECT_FALSE(parse_probe_reply(ipv4_reply, target_v6, flows).time_exceeded_from);
    EXPECT_FALSE(parse_probe_reply(icmpv6_reply(3, 0, router_v6, probe), target, flows).time_exceeded_from);
}

TEST(EchoRequest, Ipv6RequestChecksumAndReplyMatching) {
    const auto request = build_echo_request(0x1234, 1, client_v6, router_v6);
    ASSERT_EQ(request.size(), 8u);
    EXPECT_EQ(request[0], packets::icmpv6_echo_request);
    EXPECT_EQ(packets::ipv6_upper_layer_checksum(client_v6, router_v6, packets::protocol_icmpv6, request), 0)
        << "the checksum covers the pseudo-header";

    // What the raw ICMPv6 socket hands over: the message without its IPv6 header.
    Bytes reply = {packets::icmpv6_echo_reply, 0, 0, 0, 0x12, 0x34, 0x00, 0x01};
    EXPECT_TRUE(is_echo_reply(reply, router_v6, 0x1234, 1, router_v6));
    EXPECT_FALSE(is_echo_reply(reply, target_v6, 0x1234, 1, router_v6)) << "from another host";
    EXPECT_FALSE(is_echo_reply(reply, router_v6, 0x1234, 2, router_v6));
    reply[0] = packets::icmp_echo_reply;
    EXPECT_FALSE(is_echo_reply(reply, router_v6, 0x1234, 1, router_v6)) << "ICMP's type is not ICMPv6's";
}

}  // namespace

namespace {

// The target's answer to a TCP probe: its port to ours, acknowledging `acknowledged`.
Bytes tcp_answer_from(const packets::IpAddress& from, std::uint16_t to_port, std::uint32_t acknowledged,
                      std::uint8_t flags, std::uint16_t from_port = target_tcp_port) {
    return packets::build_tcp_segment({.source = from,
                                       .destination = from.is_v4() ? client : sim::test_network::client_v6,
                                       .ttl = 60,
                                       .source_port = from_port,
                                       .destination_port = to_port,
                                       .sequence = 0x1234,
                                       .acknowledgment = acknowledged,
                                       .flags = flags});
}

}  // namespace

TEST(TcpProbe, ASynToTheTargetsPortCarryingTheProbeIdInBothFamilies) {
    const packets::IpAddress client_v6 = sim::test_network::client_v6;
    const packets::IpAddress server_v6 = sim::test_network::server_v6;
    for (const auto& [source, destination] : {std::pair{client, target}, std::pair{client_v6, server_v6}}) {
        const auto probe = build_tcp_probe(0xBEEF, tcp_probe_ttl, 40443, source, destination);
        const std::size_t header = source.is_v4() ? 20 : 40;
        ASSERT_EQ(probe.size(), header + 20);
        EXPECT_EQ(probe[source.is_v4() ? 9 : 6], packets::protocol_tcp);
        EXPECT_EQ(probe[source.is_v4() ? 8 : 7], 64) << "as far as the host's own TCP";
        const auto segment = std::span(probe).subspan(header);
        EXPECT_EQ(packets::read_u16(segment, 0), 40443);
        EXPECT_EQ(packets::read_u16(segment, 2), 443);
        EXPECT_EQ(packets::read_u32(segment, 4), 0xBEEFu) << "the probe id as sequence number";
        EXPECT_EQ(segment[13], packets::tcp_syn) << "a bare SYN";
        EXPECT_EQ(segment[12], 0x50) << "a 20-byte header";
        EXPECT_EQ(transport_sum(source, destination, packets::protocol_tcp, segment), 0) << "the checksum verifies";
        if (source.is_v4()) {
            EXPECT_EQ(packets::internet_checksum(std::span(probe).first(20)), 0);
            EXPECT_EQ(packets::read_u16(probe, 4), 0xBEEF);
        }
    }
}

TEST(ReplyParsing, TheTargetsSynAckOrResetToOurPortNamesTheProbeItAcknowledges) {
    using packets::tcp_ack;
    using packets::tcp_rst;
    using packets::tcp_syn;
    for (const std::uint8_t flags : {std::uint8_t(tcp_syn | tcp_ack), std::uint8_t(tcp_rst | tcp_ack)}) {
        const auto answer = parse_tcp_answer(tcp_answer_from(target, 40443, 0xBEF0, flags), target, 40443);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->probe_id, 0xBEEF);
        EXPECT_EQ(answer->source, target);
    }
    const auto v6 = sim::test_network::server_v6;
    const auto answer_v6 = parse_tcp_answer(tcp_answer_from(v6, 40443, 8, tcp_rst | tcp_ack), v6, 40443);
    ASSERT_TRUE(answer_v6);
    EXPECT_EQ(answer_v6->probe_id, 7);

    const std::uint8_t syn_ack = tcp_syn | tcp_ack;
    EXPECT_FALSE(parse_tcp_answer(tcp_answer_from(router, 40443, 0xBEF0, syn_ack), target, 40443)) << "not the target";
    EXPECT_FALSE(parse_tcp_answer(tcp_answer_from(target, 40444, 0xBEF0, syn_ack), target, 40443)) << "another port";
    EXPECT_FALSE(parse_tcp_answer(tcp_answer_from(target, 40443, 0xBEF0, syn_ack, 80), target, 40443))
        << "from another port of the target";
    EXPECT_FALSE(parse_tcp_answer(tcp_answer_from(target, 40443, 0xBEF0, tcp_syn), target, 40443)) << "a bare SYN";
    EXPECT_FALSE(parse_tcp_answer(tcp_answer_from(target, 40443, 0xBEF0, tcp_ack), target, 40443)) << "a bare ACK";
    EXPECT_FALSE(parse_tcp_answer(tcp_answer_from(target, 40443, 0x10000 + 1, syn_ack), target, 40443))
        << "acknowledges no sequence number a probe sends";
    auto cut = tcp_answer_from(target, 40443, 0xBEF0, syn_ack);
    cut.resize(cut.size() - 1);
    EXPECT_FALSE(parse_tcp_answer(cut, target, 40443)) << "a header cut short";
}
