#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/network_changes.hpp"

// Routing netlink datagrams (rtnetlink(7)) read as network notices: pure
// functions over the bytes, which may be truncated or malformed.
namespace tarnvale::platform {

struct NetlinkMessage {
    std::uint16_t type = 0;
    std::uint16_t flags = 0;
    std::uint32_t sequence = 0;
    std::span<const std::uint8_t> payload;  // after the header, within the message's length
};

// Calls `visit` for each whole message of the datagram, in order; stops at the
// first header whose length is impossible.
void for_each_netlink_message(std::span<const std::uint8_t> datagram,
                              const std::function<void(const NetlinkMessage&)>& visit);

// The link, address and route notices of the datagram; messages of other kinds
// or families, and those too short for their kind, give none.
std::vector<NetworkNotice> parse_netlink_notices(std::span<const std::uint8_t> datagram);

}  // namespace tarnvale::platform
