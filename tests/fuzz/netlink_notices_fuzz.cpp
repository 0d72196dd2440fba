// Any datagram a routing netlink socket may hand over: the parser must not
// crash or read out of bounds, and the decision over what it reads must hold
// up to any sequence of notices.
#include <chrono>
#include <cstdint>
#include <span>

#include "engines/network_watch.hpp"
#include "platform/linux/netlink_notices.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto notices = tarnvale::platform::parse_netlink_notices(std::span(data, size));
    tarnvale::engines::NetworkWatch watch;  // per input, so that memory stays bounded
    const tarnvale::engines::NetworkWatch::Clock::time_point start{};
    watch.take(notices, start);
    watch.take(notices, start + std::chrono::milliseconds(100));
    watch.settled_generation(start + std::chrono::seconds(1));
    return 0;
}
