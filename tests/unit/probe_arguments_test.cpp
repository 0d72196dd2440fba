#include <gtest/gtest.h>

#include "ipc/handshake.hpp"
#include "probe/port_argument.hpp"
#include "probe/startup_error.hpp"

namespace {

using tarnvale::probe::parse_port_argument;

TEST(PortArgument, DecimalPortsWithWhiteSpaceAndOnePlus) {
    EXPECT_EQ(parse_port_argument(std::nullopt), 49152);
    EXPECT_EQ(parse_port_argument("0"), 0);
    EXPECT_EQ(parse_port_argument(" 6000 "), 6000);
    EXPECT_EQ(parse_port_argument("\t6000\n"), 6000);
    EXPECT_EQ(parse_port_argument("+6000"), 6000);
    EXPECT_EQ(parse_port_argument("65535"), 65535);
    for (const char* invalid : {"6000x", "-1", "70000", "65536", "", "+", "++6000", "-0", " ", "0x10", "6 000"}) {
        EXPECT_EQ(parse_port_argument(invalid), 49152) << invalid;
    }
}

TEST(HandshakeVersion, MajorNumberBeforeTheFirstDot) {
    using tarnvale::ipc::version_major;
    EXPECT_EQ(version_major("1.0"), 1u);
    EXPECT_EQ(version_major("1.7"), 1u);
    EXPECT_EQ(version_major("+1.2.3"), 1u);
    EXPECT_EQ(version_major("1"), 1u);
    EXPECT_EQ(version_major("2.0"), 2u);
    EXPECT_EQ(version_major("x1"), 0u);
    EXPECT_EQ(version_major(""), 0u);
    EXPECT_EQ(version_major("+"), 0u);
    EXPECT_EQ(version_major("4294967296.0"), 0u);
    EXPECT_EQ(version_major("-1.0"), 0u);
}

TEST(StartupError, ContextThenCause) {
    EXPECT_EQ(tarnvale::probe::describe({"handshake failed", "protocol version mismatch"}),
              "Error: handshake failed\n\nCaused by:\n    protocol version mismatch\n");
}

}  // namespace
