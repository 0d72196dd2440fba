#pragma once

#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// Who may be the probe's client. The listener is on loopback, where any local
// process can connect; only the process that started the probe, or one of that
// process's ancestors (a launcher such as sudo or `ip netns exec` may stand
// between the client and the probe), is its owner.
namespace tarnvale::ipc {

using ParentLookup = std::function<std::optional<std::uint32_t>(std::uint32_t pid)>;

// The probe's starter and the starter's ancestors, nearest first. The system's
// first process, which every chain ends in, counts only as the starter itself.
std::vector<std::uint32_t> owner_processes(std::uint32_t own_pid, const ParentLookup& parent_of);

// The process holding the other end of a loopback connection, from the
// system's TCP table; nothing when the table does not tell.
std::optional<std::uint32_t> loopback_peer_process(const asio::ip::tcp::endpoint& peer);

}  // namespace tarnvale::ipc
