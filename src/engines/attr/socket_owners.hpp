#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engines/attr/flow_table.hpp"
#include "packets/ip_address.hpp"
#include "platform/socket_table.hpp"

// Which process owns the socket a packet belongs to, and what the process is called.
namespace tarnvale::engines::attr {

// The owners of the host's sockets, looked up as the kernel delivers a
// packet: the socket connected to exactly the packet's two endpoints, else the
// one bound to its local address and port, else the one bound to the wildcard
// address of its family and the port, else, for an IPv4 packet, a dual-stack
// IPv6 socket on [::] and the port. TCP and UDP sockets are apart.
class SocketOwners {
public:
    // Adds a socket; a later row for the same endpoints replaces an earlier one.
    void add(std::uint8_t protocol, const platform::SocketOwnerRow& row);

    // The owner of the socket that takes the flow's packets; 0 for a socket
    // that has no owning process. The connected socket is looked for with
    // either end as the local one; the listening steps only for an end whose
    // address is one of `host_addresses`: on the other, a peer's port that a
    // local server also listens on (443, 22, 53) would take the flow. A
    // connected socket without an owner (closing) yields to a listener that
    // has one.
    std::optional<std::uint32_t> owner_of(const FlowKey& flow, const LocalAddresses& host_addresses) const;

    // Takes from `previous` every socket this table lacks or knows no owner
    // of: a socket closed since then (or closing, ownerless) still owns the
    // bytes its flow sent before it closed, which the current cycle drains.
    void keep_recently_closed(const SocketOwners& previous);

    bool empty() const { return connected_.empty() && bound_.empty(); }

private:
    struct Endpoint {
        packets::IpAddress address;
        std::uint16_t port = 0;
        std::uint8_t protocol = 0;

        bool operator==(const Endpoint&) const = default;
    };
    struct Connection {
        Endpoint local;
        packets::IpAddress remote_address;
        std::uint16_t remote_port = 0;

        bool operator==(const Connection&) const = default;
    };
    struct EndpointHash {
        std::size_t operator()(const Endpoint& endpoint) const noexcept;
    };
    struct ConnectionHash {
        std::size_t operator()(const Connection& connection) const noexcept;
    };

    std::optional<std::uint32_t> bound_owner(const Endpoint& endpoint) const;
    std::optional<std::uint32_t> connected_owner(std::uint8_t protocol, const packets::IpAddress& local_address,
                                                 std::uint16_t local_port, const packets::IpAddress& remote_address,
                                                 std::uint16_t remote_port) const;
    // Bound to the address, else the family's wildcard, else [::].
    std::optional<std::uint32_t> listening_owner(std::uint8_t protocol, const packets::IpAddress& local_address,
                                                 std::uint16_t local_port) const;

    std::unordered_map<Connection, std::uint32_t, ConnectionHash> connected_;
    std::unordered_map<Endpoint, std::uint32_t, EndpointHash> bound_;  // wildcard addresses among them
};

// The owners of the sockets of the host's other network namespaces
// (containers), whose packets reach the host's uplink through address
// translation: their local address is the namespace's own, and the host's on
// the uplink. A flow's end whose address is one of the host's is matched by
// its port and the other end to a connected socket, else by its port to an
// unconnected one; translation keeps the port unless two flows would clash.
class OtherNamespaceOwners {
public:
    void add(std::uint8_t protocol, const platform::SocketOwnerRow& row);

    std::optional<std::uint32_t> owner_of(const FlowKey& flow, const LocalAddresses& host_addresses) const;

    // As SocketOwners::keep_recently_closed.
    void keep_recently_closed(const OtherNamespaceOwners& previous);

private:
    struct Key {
        packets::IpAddress remote_address;  // :: for an unconnected socket
        std::uint16_t remote_port = 0;
        std::uint16_t local_port = 0;
        std::uint8_t protocol = 0;

        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };

    std::optional<std::uint32_t> owner_with_local_end(std::uint8_t protocol, std::uint16_t local_port,
                                                      const packets::IpAddress& remote_address,
                                                      std::uint16_t remote_port) const;

    std::unordered_map<Key, std::uint32_t, KeyHash> connected_;
    std::unordered_map<Key, std::uint32_t, KeyHash> bound_;
};

// TCP rows, then UDP rows.
SocketOwners build_socket_owners(const std::vector<platform::SocketOwnerRow>& tcp,
                                 const std::vector<platform::SocketOwnerRow>& udp);

// Both tables as they are now; a protocol whose table cannot be read adds no rows.
SocketOwners query_socket_owners(platform::SocketTableReader& reader);

OtherNamespaceOwners build_other_namespace_owners(const std::vector<platform::SocketOwnerRow>& tcp,
                                                  const std::vector<platform::SocketOwnerRow>& udp);

OtherNamespaceOwners query_other_namespace_owners(platform::SocketTableReader& reader);

// The part of an executable's path after its last `\` or `/`.
std::string executable_base_name(const std::string& path);

// The container a process runs in, from its control groups as Docker, Podman,
// containerd and LXC name them ("docker 0123456789ab", "lxc web"); nothing for
// a process of the host.
std::optional<std::string> container_of(std::string_view control_groups);

// Process names by id, each resolved once; a process whose executable cannot
// be read is "PID:{id}", and one in a container is followed by its container
// in parentheses ("python3 (docker 0123456789ab)"). Used by one task only.
class ProcessNameCache {
public:
    using PathLookup = std::function<std::optional<std::string>(std::uint32_t)>;
    using ControlGroupsLookup = std::function<std::optional<std::string>(std::uint32_t)>;

    static constexpr std::size_t size_limit = 256;

    explicit ProcessNameCache(PathLookup path_of, ControlGroupsLookup control_groups_of = {})
        : path_of_(std::move(path_of)), control_groups_of_(std::move(control_groups_of)) {}

    const std::string& name_of(std::uint32_t pid);

    // Above the size limit, forgets every process not among `active`.
    void prune(const std::unordered_set<std::uint32_t>& active);

    std::size_t size() const { return names_.size(); }
    bool contains(std::uint32_t pid) const { return names_.contains(pid); }

private:
    PathLookup path_of_;
    ControlGroupsLookup control_groups_of_;
    std::unordered_map<std::uint32_t, std::string> names_;
};

}  // namespace tarnvale::engines::attr
