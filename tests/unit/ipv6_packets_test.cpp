// IPv6 addresses and packets: the address type shared with IPv4, and the walk
// over extension headers to the upper layer.
#include <gtest/gtest.h>

#include <vector>

#include "ipv6_packet_builder.hpp"
#include "packets/views.hpp"

namespace {

using namespace tarnvale;
using packets::IpAddress;
using packets::Ipv6View;

using namespace tarnvale::test_packets;

std::optional<std::uint8_t> upper_protocol(const Bytes& bytes) {
    const auto view = Ipv6View::read(bytes);
    const auto upper = view ? view->upper_layer() : std::nullopt;
    return upper ? std::optional(upper->protocol) : std::nullopt;
}

TEST(IpAddress, BothFamiliesInOneTypeWithTheirTexts) {
    const IpAddress v4(packets::Ipv4(0xC0000207));
    EXPECT_TRUE(v4.is_v4());
    EXPECT_EQ(v4.v4(), packets::Ipv4(0xC0000207));
    EXPECT_EQ(packets::to_text(v4), "192.0.2.7");
    EXPECT_EQ(address("::ffff:192.0.2.7"), v4) << "a mapped IPv6 address is the IPv4 address";
    EXPECT_EQ(address("192.0.2.7"), v4);

    const IpAddress v6 = address("2001:DB8:0:0:1:0:0:1");
    EXPECT_FALSE(v6.is_v4());
    EXPECT_EQ(packets::to_text(v6), "2001:db8::1:0:0:1") << "the shortest form, lower case";
    EXPECT_EQ(packets::to_text(IpAddress()), "::");
    EXPECT_FALSE(packets::parse_ip_address("fe80::1%eth0")) << "no zones";
    EXPECT_FALSE(packets::parse_ip_address("2001:db8::1::2"));
    EXPECT_FALSE(packets::parse_ip_address("192.0.2"));

    EXPECT_TRUE(packets::in_network(address("fe80::1"), address("fe80::"), 10));
    EXPECT_TRUE(packets::in_network(address("febf::1"), address("fe80::"), 10));
    EXPECT_FALSE(packets::in_network(address("fec0::1"), address("fe80::"), 10));
    EXPECT_TRUE(packets::in_network(v4, IpAddress(packets::Ipv4(0xC0000200)), 120));
    EXPECT_TRUE(packets::in_network(v6, address("ffff::"), 0));
    EXPECT_TRUE(packets::in_network(v6, v6, 200)) << "a prefix past 128 bits is the whole address";
    EXPECT_NE(std::hash<IpAddress>{}(v6), std::hash<IpAddress>{}(address("2001:db8::1:0:0:2")));
}

TEST(Ipv6Packet, FixedHeaderAndPayloadBounds) {
    const Bytes plain = packet({}, packets::protocol_tcp);
    const auto view = Ipv6View::read(plain);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->source(), address("2001:db8:1::10"));
    EXPECT_EQ(view->destination(), address("2001:db8:113::10"));
    EXPECT_EQ(view->hop_limit(), 64);
    EXPECT_EQ(view->payload().size(), 20u);

    EXPECT_FALSE(Ipv6View::read(Bytes(plain.begin(), plain.begin() + 39))) << "the fixed header must be whole";
    EXPECT_EQ(Ipv6View::read(packet({}, packets::protocol_tcp, 20, 8))->payload().size(), 8u)
        << "a link layer's padding is not payload";
    EXPECT_EQ(Ipv6View::read(packet({}, packets::protocol_tcp, 20, 1000))->payload().size(), 20u)
        << "a capture cut short ends the payload";
    EXPECT_EQ(Ipv6View::read(packet({}, packets::protocol_tcp, 20, 0))->payload().size(), 20u)
        << "a jumbogram's length of 0 runs to the end";
}

TEST(Ipv6Packet, TheWalkReachesTheUpperLayerThroughEveryExtensionHeader) {
    EXPECT_EQ(upper_protocol(packet({}, packets::protocol_udp)), packets::protocol_udp);
    const Bytes chained = packet({{hop_by_hop, 8}, {routing, 24}, {fragment, 8, 0x0001}, {authentication, 24},
                                  {destination_options, 16}},
                                 packets::protocol_tcp);
    const auto view = Ipv6View::read(chained);
    const auto upper = view->upper_layer();
    ASSERT_TRUE(upper);
    EXPECT_EQ(upper->protocol, packets::protocol_tcp);
    const auto ports = packets::TransportPorts::read(upper->bytes);
    ASSERT_TRUE(ports);
    EXPECT_EQ(ports->source, 40000);
    EXPECT_EQ(ports->destination, 443);

    EXPECT_EQ(upper_protocol(packet({{hop_by_hop, 8}}, esp)), esp) << "ESP hides what follows: the caller decides";
    EXPECT_EQ(upper_protocol(packet({{fragment, 8, 0x0000}}, packets::protocol_udp)), packets::protocol_udp)
        << "an unfragmented packet's fragment header (offset 0, last)";
}

TEST(Ipv6Packet, ChainsThatCannotBeFollowedGiveNothing) {
    EXPECT_FALSE(upper_protocol(packet({{fragment, 8, 0x05A8}}, packets::protocol_tcp)))
        << "a later fragment holds no upper-layer header";
    // A routing header that says 24 bytes, cut off after 16.
    Bytes cut = packet({{routing, 24}}, packets::protocol_tcp, 0);
    cut.resize(40 + 16);
    EXPECT_FALSE(upper_protocol(cut));
    // A header cut off before its length byte.
    Bytes one_byte = packet({}, hop_by_hop, 0);
    one_byte.push_back(packets::protocol_tcp);
    EXPECT_FALSE(upper_protocol(one_byte));
    // The payload length, not the bytes, bounds the chain.
    EXPECT_FALSE(upper_protocol(packet({{hop_by_hop, 8}}, packets::protocol_tcp, 20, 4)));

    const std::vector<Extension> most(Ipv6View::most_extension_headers, Extension{destination_options, 8});
    EXPECT_EQ(upper_protocol(packet(most, packets::protocol_tcp)), packets::protocol_tcp);
    std::vector<Extension> too_many = most;
    too_many.push_back({destination_options, 8});
    EXPECT_FALSE(upper_protocol(packet(too_many, packets::protocol_tcp)));
}

}  // namespace
