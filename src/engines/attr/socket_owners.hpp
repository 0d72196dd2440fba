#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "packets/ip_address.hpp"
#include "platform/socket_table.hpp"

// Which process owns a local endpoint, and what the process is called.
namespace tarnvale::engines::attr {

struct SocketKey {
    packets::IpAddress address;  // 0.0.0.0 or :: for a socket bound to every address
    std::uint16_t port = 0;

    bool operator==(const SocketKey&) const = default;
};

struct SocketKeyHash {
    std::size_t operator()(const SocketKey& key) const noexcept {
        return std::hash<packets::IpAddress>{}(key.address) ^ (std::size_t{key.port} * 0x9E3779B97F4A7C15ULL);
    }
};

using SocketOwnerTable = std::unordered_map<SocketKey, std::uint32_t, SocketKeyHash>;

// TCP rows first, then UDP rows; a later row for the same local endpoint
// replaces an earlier one, so a UDP socket wins over a TCP socket.
SocketOwnerTable build_owner_table(const std::vector<platform::SocketOwnerRow>& tcp,
                                   const std::vector<platform::SocketOwnerRow>& udp);

// Both tables as they are now; a protocol whose table cannot be read adds no rows.
SocketOwnerTable query_socket_owners(platform::SocketTableReader& reader);

// The current table with the entries of the previous cycle's table that it
// lacks: a socket closed since then still owns the bytes its flow sent before
// it closed, which the current cycle drains.
SocketOwnerTable with_recently_closed(SocketOwnerTable current, const SocketOwnerTable& previous);

// An exact match: a wildcard-bound socket answers only for address 0.
std::optional<std::uint32_t> owner_of(const SocketOwnerTable& table, const packets::IpAddress& address,
                                      std::uint16_t port);

// The part of an executable's path after its last `\` or `/`.
std::string executable_base_name(const std::string& path);

// Process names by id, each resolved once; a process whose executable cannot
// be read is "PID:{id}". Used by one task only.
class ProcessNameCache {
public:
    using PathLookup = std::function<std::optional<std::string>(std::uint32_t)>;

    static constexpr std::size_t size_limit = 256;

    explicit ProcessNameCache(PathLookup path_of) : path_of_(std::move(path_of)) {}

    const std::string& name_of(std::uint32_t pid);

    // Above the size limit, forgets every process not among `active`.
    void prune(const std::unordered_set<std::uint32_t>& active);

    std::size_t size() const { return names_.size(); }
    bool contains(std::uint32_t pid) const { return names_.contains(pid); }

private:
    PathLookup path_of_;
    std::unordered_map<std::uint32_t, std::string> names_;
};

}  // namespace tarnvale::engines::attr
