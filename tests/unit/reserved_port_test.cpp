#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/raw_sockets.hpp"
#include "platform/socket_address.hpp"

namespace {

using namespace tarnvale;

// Whether another socket of the transport and family may bind the port now.
bool port_free(platform::Transport transport, bool ipv6, std::uint16_t port) {
    const bool udp = transport == platform::Transport::udp;
    const int socket =
        ::socket(ipv6 ? AF_INET6 : AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, udp ? IPPROTO_UDP : IPPROTO_TCP);
    const platform::SocketAddress any =
        platform::socket_address(ipv6 ? packets::IpAddress() : packets::IpAddress(packets::Ipv4()), port);
    const bool bound = ::bind(socket, any.get(), any.length) == 0;
    ::close(socket);
    return bound;
}

TEST(ReservedPort, EachReservationHoldsItsOwnPortUntilReleased) {
    for (const auto transport : {platform::Transport::udp, platform::Transport::tcp})
        for (const bool ipv6 : {false, true}) {
            std::error_code error;
            auto first = platform::reserve_port(transport, ipv6, error);
            ASSERT_FALSE(error) << error.message();
            const auto second = platform::reserve_port(transport, ipv6, error);
            ASSERT_FALSE(error) << error.message();
            EXPECT_NE(first.port, 0);
            EXPECT_NE(first.port, second.port);
            EXPECT_FALSE(port_free(transport, ipv6, first.port)) << "no other program gets the port while it is held";
            const std::uint16_t released = first.port;
            first = {};
            EXPECT_TRUE(port_free(transport, ipv6, released));
        }
}

}  // namespace
