// The one reader of ICMP and ICMPv6 error messages, and the one UDP datagram
// builder, over byte vectors.
#include "packets/icmp_error.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "ipv6_packet_builder.hpp"
#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/ipv6.hpp"
#include "packets/udp_datagram.hpp"

namespace {

using namespace tarnvale;
using Bytes = std::vector<std::uint8_t>;
using packets::IcmpErrorKind;
using packets::IpFamily;

constexpr packets::IpAddress client{packets::Ipv4(0xC0A8010A)};  // 192.168.1.10
constexpr packets::IpAddress target{packets::Ipv4(0xCB00710A)};  // 203.0.113.10
constexpr packets::IpAddress router{packets::Ipv4(0xC6336406)};  // 198.51.100.6

// An IPv4 datagram from `from` of `protocol` carrying an ICMP message of type and code that quotes `quoted`.
Bytes ipv4_icmp(std::uint8_t type, std::uint8_t code, const Bytes& quoted,
                std::uint8_t protocol = packets::protocol_icmp, packets::IpAddress from = router) {
    Bytes datagram(20, 0);
    datagram[0] = 0x45;
    datagram[9] = protocol;
    packets::write_u32(datagram, 12, from.v4().number());
    datagram.insert(datagram.end(), {type, code, 0, 0, 0, 0, 0, 0});
    datagram.insert(datagram.end(), quoted.begin(), quoted.end());
    packets::write_u16(datagram, 2, static_cast<std::uint16_t>(datagram.size()));
    return datagram;
}

Bytes udp_probe(const packets::IpAddress& to, std::uint16_t identification = 0) {
    packets::UdpDatagram datagram{client, to, 5, 40000, 33440};
    datagram.identification = identification;
    return packets::build_udp_datagram(datagram);
}

TEST(IcmpErrorReader, Ipv4TimeExceededGivesSourceKindCodeAndTheQuotedDatagram) {
    const Bytes message = ipv4_icmp(11, 1, udp_probe(target, 0x1234));  // the reading's views point into it
    const auto received = packets::read_icmp_error(message, IpFamily::v4);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->source, router);
    EXPECT_EQ(received->protocol, packets::protocol_icmp);
    ASSERT_TRUE(received->icmp);
    EXPECT_EQ(received->icmp->kind, IcmpErrorKind::time_exceeded);
    EXPECT_EQ(received->icmp->type, 11);
    EXPECT_EQ(received->icmp->code, 1);
    EXPECT_EQ(received->icmp->length, 8u + 28u);
    const auto& quoted = received->icmp->quoted;
    ASSERT_TRUE(quoted);
    EXPECT_EQ(quoted->destination, target);
    EXPECT_EQ(quoted->protocol, packets::protocol_udp);
    EXPECT_EQ(quoted->header_length, 20u);
    EXPECT_EQ(quoted->identification, 0x1234);
    ASSERT_EQ(quoted->transport.size(), 8u);
    EXPECT_EQ(packets::read_u16(quoted->transport, 2), 33440);
}

TEST(IcmpErrorReader, KindsAndWhatIsNotRead) {
    const Bytes probe = udp_probe(target);
    EXPECT_EQ(packets::read_icmp_error(ipv4_icmp(3, 3, probe), IpFamily::v4)->icmp->kind,
              IcmpErrorKind::destination_unreachable);
    const auto echo = packets::read_icmp_error(ipv4_icmp(0, 0, probe), IpFamily::v4);
    EXPECT_EQ(echo->icmp->kind, IcmpErrorKind::other);
    EXPECT_FALSE(echo->icmp->quoted) << "only errors quote a datagram";

    const auto udp = packets::read_icmp_error(ipv4_icmp(11, 0, probe, packets::protocol_udp), IpFamily::v4);
    ASSERT_TRUE(udp) << "the outer header is still read";
    EXPECT_EQ(udp->protocol, packets::protocol_udp);
    EXPECT_FALSE(udp->icmp) << "a UDP datagram is no ICMP message";

    EXPECT_FALSE(packets::read_icmp_error(Bytes(19, 0x45), IpFamily::v4)) << "the outer header is cut off";
    EXPECT_FALSE(packets::read_icmp_error(ipv4_icmp(11, 0, probe), IpFamily::v6)) << "another family's";
    EXPECT_FALSE(packets::is_of_family(Bytes{}, IpFamily::v4));

    Bytes header_only = ipv4_icmp(11, 0, Bytes(probe.begin(), probe.begin() + 19));
    EXPECT_FALSE(packets::read_icmp_error(header_only, IpFamily::v4)->icmp->quoted) << "19 bytes of a 20-byte header";
}

TEST(IcmpErrorReader, Ipv6QuoteIsReadPastItsExtensionHeaders) {
    using namespace test_packets;
    const Bytes quoted = packet({{destination_options, 16}, {fragment, 8}}, packets::protocol_udp, 8);
    Bytes message(packets::ipv6_header_length, 0);
    packets::write_ipv6_header(std::span(message).first<packets::ipv6_header_length>(),
                               {static_cast<std::uint16_t>(8 + quoted.size()), packets::protocol_icmpv6, 64,
                                address("2001:db8:2::1"), address("2001:db8:1::10")});
    message.insert(message.end(), {3, 0, 0, 0, 0, 0, 0, 0});
    message.insert(message.end(), quoted.begin(), quoted.end());

    const auto received = packets::read_icmp_error(message, IpFamily::v6);
    ASSERT_TRUE(received && received->icmp && received->icmp->quoted);
    EXPECT_EQ(received->source, address("2001:db8:2::1"));
    EXPECT_EQ(received->icmp->kind, IcmpErrorKind::time_exceeded);
    EXPECT_EQ(received->icmp->length, 8 + quoted.size());
    const auto& datagram = *received->icmp->quoted;
    EXPECT_EQ(datagram.destination, address("2001:db8:113::10"));
    EXPECT_EQ(datagram.protocol, packets::protocol_udp);
    EXPECT_EQ(datagram.header_length, 40u + 16u + 8u);
    EXPECT_FALSE(datagram.identification) << "IPv6 has none";
    EXPECT_EQ(packets::read_u16(datagram.transport, 0), 40000);
    EXPECT_EQ(packets::read_icmp_error(message, IpFamily::v6)->icmp->type, 3);
    message[40] = 1;
    EXPECT_EQ(packets::read_icmp_error(message, IpFamily::v6)->icmp->kind, IcmpErrorKind::destination_unreachable);
    message[40] = 128;
    EXPECT_EQ(packets::read_icmp_error(message, IpFamily::v6)->icmp->kind, IcmpErrorKind::other);
}

TEST(UdpDatagramBuilder, Ipv4CarriesTheGivenIdentificationFlagsAndPayloadLength) {
    packets::UdpDatagram fields{client, target, 9, 50000, 33500, 100};
    fields.identification = 0xBEEF;
    const auto plain = packets::build_udp_datagram(fields);
    ASSERT_EQ(plain.size(), packets::udp_datagram_size(IpFamily::v4, 100));
    EXPECT_EQ(plain.size(), 128u);
    EXPECT_EQ(packets::read_u16(plain, 2), 128);
    EXPECT_EQ(packets::read_u16(plain, 4), 0xBEEF);
    EXPECT_EQ(packets::read_u16(plain, 6), 0) << "fragments allowed unless asked";
    EXPECT_EQ(plain[8], 9);
    EXPECT_EQ(packets::internet_checksum(std::span(plain).first(20)), 0);
    EXPECT_EQ(packets::read_u16(plain, 20), 50000);
    EXPECT_EQ(packets::read_u16(plain, 22), 33500);
    EXPECT_EQ(packets::read_u16(plain, 24), 108);
    EXPECT_EQ(packets::read_u16(plain, 26), 0) << "no UDP checksum over IPv4";
    EXPECT_TRUE(std::all_of(plain.begin() + 28, plain.end(), [](std::uint8_t byte) { return byte == 0; }));

    fields.dont_fragment = true;
    EXPECT_EQ(packets::read_u16(packets::build_udp_datagram(fields), 6), packets::dont_fragment);
}

TEST(UdpDatagramBuilder, Ipv6HasTheHopLimitAndAChecksumThatVerifies) {
    const auto source = test_packets::address("2001:db8:1::10");
    const auto destination = test_packets::address("2001:db8:113::10");
    const auto built = packets::build_udp_datagram({source, destination, 4, 50000, 33470, 12});
    ASSERT_EQ(built.size(), 40u + 8u + 12u);
    EXPECT_EQ(built[0], 0x60);
    EXPECT_EQ(built[6], packets::protocol_udp);
    EXPECT_EQ(built[7], 4);
    const auto udp = std::span(built).subspan(packets::ipv6_header_length);
    EXPECT_EQ(packets::read_u16(udp, 4), 20);
    EXPECT_NE(packets::read_u16(udp, 6), 0);
    EXPECT_EQ(packets::ipv6_upper_layer_checksum(source, destination, packets::protocol_udp, udp), 0);
}

}  // namespace
