#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "packets/byte_order.hpp"
#include "packets/views.hpp"

namespace {

using namespace tarnvale;
using packets::Ipv4;
using packets::Ipv4View;
using Bytes = std::vector<std::uint8_t>;

// An IPv4 header of `header` bytes (IHL as given, fields past the end cut off)
// with this total length, then `payload` bytes 0xAB.
Bytes datagram(std::uint8_t ihl, std::uint16_t total_length, std::size_t header, std::size_t payload) {
    Bytes fields(20, 0);
    fields[0] = static_cast<std::uint8_t>(0x40 | ihl);
    packets::write_u16(fields, 2, total_length);
    fields[9] = packets::protocol_udp;
    packets::write_u32(fields, 12, 0xC0000207);
    packets::write_u32(fields, 16, 0xCB00710A);
    fields.resize(header, 0);
    Bytes bytes(header + payload, 0xAB);
    std::copy(fields.begin(), fields.end(), bytes.begin());
    return bytes;
}

TEST(Ipv4Address, ReadsAsItsTextOnTheWireAndInSocketStructures) {
    const Bytes wire = {192, 0, 2, 7};
    EXPECT_EQ(Ipv4::from_wire(wire, 0), Ipv4(0xC0000207));
    std::uint32_t word = 0;  // as a sockaddr_in holds 192.0.2.7
    std::memcpy(&word, wire.data(), sizeof word);
    EXPECT_EQ(Ipv4::from_network_word(word), Ipv4(0xC0000207));
    EXPECT_EQ(Ipv4(0xC0000207).network_word(), word);
    EXPECT_EQ(packets::to_text(Ipv4(0xC0000207)), "192.0.2.7");
    EXPECT_EQ(packets::parse_ipv4("192.0.2.7"), Ipv4(0xC0000207));
    EXPECT_LT(Ipv4(0x0A000001), Ipv4(0xC0000207));
}

TEST(Ipv4Datagram, HeaderAndPayloadBounds) {
    const Bytes bytes = datagram(5, 28, 20, 8);  // a view lives no longer than its bytes
    const auto plain = Ipv4View::read(bytes);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->header_length(), 20u);
    EXPECT_EQ(plain->payload().size(), 8u);
    EXPECT_EQ(plain->protocol(), packets::protocol_udp);
    EXPECT_EQ(plain->source(), Ipv4(0xC0000207));
    EXPECT_EQ(plain->destination(), Ipv4(0xCB00710A));

    EXPECT_EQ(Ipv4View::read(datagram(6, 32, 24, 8))->payload().size(), 8u) << "options move the payload";
    EXPECT_EQ(Ipv4View::read(datagram(5, 28, 20, 26))->payload().size(), 8u) << "link padding is left out";
    EXPECT_EQ(Ipv4View::read(datagram(5, 1500, 20, 8))->payload().size(), 8u) << "a frame cut short by the capture";
    EXPECT_TRUE(Ipv4View::read(datagram(5, 10, 20, 8))->payload().empty()) << "a total length below the header";
    EXPECT_EQ(Ipv4View::read(datagram(2, 16, 20, 8))->header_length(), 20u) << "IHL below 5 is read as 5";
    EXPECT_EQ(Ipv4View::read(datagram(2, 16, 20, 8))->payload().size(), 8u);
    EXPECT_FALSE(Ipv4View::read(datagram(5, 20, 19, 0))) << "a header of 19 bytes";
    EXPECT_FALSE(Ipv4View::read(datagram(15, 60, 20, 20))) << "options beyond the bytes";

    EXPECT_EQ(Ipv4View::read_delimited(datagram(5, 0, 20, 8))->payload().size(), 8u)
        << "a delimited datagram ignores its total length";
    EXPECT_FALSE(Ipv4View::read_delimited(datagram(6, 0, 20, 2)));
}

TEST(IcmpMessage, EchoFieldsQuotedDatagramAndPorts) {
    const Bytes echo = {0, 0, 0, 0, 0x12, 0x34, 0x00, 0x07};
    const auto reply = packets::IcmpView::read(echo);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type(), packets::icmp_echo_reply);
    EXPECT_EQ(reply->echo_identifier(), 0x1234);
    EXPECT_EQ(reply->echo_sequence(), 7);
    const Bytes short_echo(echo.begin(), echo.begin() + 6);
    EXPECT_FALSE(packets::IcmpView::read(short_echo)->echo_sequence()) << "the header is cut";
    EXPECT_FALSE(packets::IcmpView::read(short_echo, packets::IcmpView::header_length));
    EXPECT_FALSE(packets::IcmpView::read(Bytes{11, 0, 0}));

    // A Time Exceeded message quoting a 1400-byte datagram's header and first 8 bytes.
    Bytes exceeded = {packets::icmp_time_exceeded, 0, 0, 0, 0, 0, 0, 0};
    const Bytes quoted = datagram(5, 1400, 20, 8);
    exceeded.insert(exceeded.end(), quoted.begin(), quoted.end());
    const auto message = packets::IcmpView::read(exceeded);
    const auto inner = message->quoted_datagram();
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->destination(), Ipv4(0xCB00710A));
    EXPECT_EQ(inner->payload().size(), 8u);
    const auto ports = packets::TransportPorts::read(inner->payload());
    ASSERT_TRUE(ports);
    EXPECT_EQ(ports->source, 0xABAB);
    exceeded.resize(8 + 19);
    EXPECT_FALSE(packets::IcmpView::read(exceeded)->quoted_datagram()) << "a quoted header cut short";
    EXPECT_FALSE(packets::TransportPorts::read(Bytes{1, 2, 3}));
}

}  // namespace
