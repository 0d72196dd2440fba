#include "ipc/client_owner.hpp"

#include <algorithm>

#include "platform/socket_table.hpp"

namespace tarnvale::ipc {

namespace {

constexpr std::uint32_t first_process = 1;
// Far beyond any real chain of processes; a cycle in a racing table ends here.
constexpr std::size_t longest_chain = 64;

}  // namespace

std::vector<std::uint32_t> owner_processes(std::uint32_t own_pid, const ParentLookup& parent_of) {
    std::vector<std::uint32_t> chain;
    auto parent = parent_of(own_pid);
    while (parent && *parent != 0 && chain.size() < longest_chain &&
           std::find(chain.begin(), chain.end(), *parent) == chain.end()) {
        if (*parent == first_process && !chain.empty()) {
            break;
        }
        chain.push_back(*parent);
        parent = parent_of(*parent);
    }
    return chain;
}

std::optional<std::uint32_t> loopback_peer_process(const asio::ip::tcp::endpoint& peer) {
    if (!peer.address().is_v4()) {
        return std::nullopt;
    }
    const packets::IpAddress address(packets::Ipv4(peer.address().to_v4().to_uint()));
    platform::SocketTableReader reader;
    const auto rows = reader.read(platform::SocketProtocol::tcp);
    if (!rows) {
        return std::nullopt;
    }
    for (const platform::SocketOwnerRow& row : *rows) {
        if (row.local_address == address && row.local_port == peer.port() && row.pid != 0) {
            return row.pid;
        }
    }
    return std::nullopt;
}

}  // namespace tarnvale::ipc
