#include "engines/attr/socket_owners.hpp"

#include <algorithm>
#include <array>

#include "engines/attr/hash_mix.hpp"
#include "log/fill.hpp"
#include "packets/ipv4.hpp"

namespace tarnvale::engines::attr {

namespace {

constexpr packets::IpAddress ipv4_wildcard{packets::Ipv4()};
constexpr packets::IpAddress ipv6_wildcard{};

bool is_host_address(const packets::IpAddress& address, const LocalAddresses& host_addresses) {
    return std::find(host_addresses.begin(), host_addresses.end(), address) != host_addresses.end();
}

// Takes from `previous` every socket `current` lacks or knows no owner of.
template <typename Table>
void keep_recently_closed_entries(Table& current, const Table& previous) {
    for (const auto& [key, owner] : previous) {
        auto [entry, added] = current.try_emplace(key, owner);
        if (!added && entry->second == 0) {
            entry->second = owner;
        }
    }
}

}  // namespace

std::size_t SocketOwners::EndpointHash::operator()(const Endpoint& endpoint) const noexcept {
    return mixed_hash(std::hash<packets::IpAddress>{}(endpoint.address),
                      (std::uint64_t{endpoint.protocol} << 16) | endpoint.port);
}

std::size_t SocketOwners::ConnectionHash::operator()(const Connection& connection) const noexcept {
    return mixed_hash(EndpointHash{}(connection.local) ^ std::hash<packets::IpAddress>{}(connection.remote_address),
                      connection.remote_port);
}

void SocketOwners::add(std::uint8_t protocol, const platform::SocketOwnerRow& row) {
    const Endpoint local{row.local_address, row.local_port, protocol};
    if (row.remote_port == 0) {
        bound_.insert_or_assign(local, row.pid);
    } else {
        connected_.insert_or_assign(Connection{local, row.remote_address, row.remote_port}, row.pid);
    }
}

std::optional<std::uint32_t> SocketOwners::bound_owner(const Endpoint& endpoint) const {
    const auto owner = bound_.find(endpoint);
    return owner == bound_.end() ? std::nullopt : std::optional(owner->second);
}

std::optional<std::uint32_t> SocketOwners::owner_of(const FlowKey& flow, const LocalAddresses& host_addresses) const {
    auto connected = connected_owner(flow.protocol, flow.addr_a, flow.port_a, flow.addr_b, flow.port_b);
    if (!connected) {
        connected = connected_owner(flow.protocol, flow.addr_b, flow.port_b, flow.addr_a, flow.port_a);
    }
    if (connected && *connected != 0) {
        return connected;
    }
    for (const auto& [address, port] : {std::pair(flow.addr_a, flow.port_a), std::pair(flow.addr_b, flow.port_b)}) {
        if (is_host_address(address, host_addresses)) {
            if (const auto listening = listening_owner(flow.protocol, address, port)) {
                return listening;
            }
        }
    }
    return connected;
}

std::optional<std::uint32_t> SocketOwners::connected_owner(std::uint8_t protocol,
                                                           const packets::IpAddress& local_address,
                                                           std::uint16_t local_port,
                                                           const packets::IpAddress& remote_address,
                                                           std::uint16_t remote_port) const {
    const auto owner = connected_.find(Connection{Endpoint{local_address, local_port, protocol}, remote_address,
                                                  remote_port});
    return owner == connected_.end() ? std::nullopt : std::optional(owner->second);
}

std::optional<std::uint32_t> SocketOwners::listening_owner(std::uint8_t protocol,
                                                           const packets::IpAddress& local_address,
                                                           std::uint16_t local_port) const {
    if (const auto owner = bound_owner(Endpoint{local_address, local_port, protocol})) {
        return owner;
    }
    if (local_address.is_v4()) {
        if (const auto owner = bound_owner(Endpoint{ipv4_wildcard, local_port, protocol})) {
            return owner;
        }
    }
    return bound_owner(Endpoint{ipv6_wildcard, local_port, protocol});
}

void SocketOwners::keep_recently_closed(const SocketOwners& previous) {
    keep_recently_closed_entries(connected_, previous.connected_);
    keep_recently_closed_entries(bound_, previous.bound_);
}

std::size_t OtherNamespaceOwners::KeyHash::operator()(const Key& key) const noexcept {
    return mixed_hash(std::hash<packets::IpAddress>{}(key.remote_address),
                      (std::uint64_t{key.protocol} << 32) | (std::uint64_t{key.remote_port} << 16) | key.local_port);
}

void OtherNamespaceOwners::keep_recently_closed(const OtherNamespaceOwners& previous) {
    keep_recently_closed_entries(connected_, previous.connected_);
    keep_recently_closed_entries(bound_, previous.bound_);
}

void OtherNamespaceOwners::add(std::uint8_t protocol, const platform::SocketOwnerRow& row) {
    if (packets::is_loopback(row.local_address)) {
        return;  // a namespace's own service (Docker's name server on 127.0.0.11), never on the uplink
    }
    if (row.remote_port == 0) {
        bound_.insert_or_assign(Key{{}, 0, row.local_port, protocol}, row.pid);
    } else {
        connected_.insert_or_assign(Key{row.remote_address, row.remote_port, row.local_port, protocol}, row.pid);
    }
}

std::optional<std::uint32_t> OtherNamespaceOwners::owner_of(const FlowKey& flow,
                                                            const LocalAddresses& host_addresses) const {
    if (is_host_address(flow.addr_a, host_addresses)) {
        if (const auto owner = owner_with_local_end(flow.protocol, flow.port_a, flow.addr_b, flow.port_b)) {
            return owner;
        }
    }
    if (is_host_address(flow.addr_b, host_addresses)) {
        return owner_with_local_end(flow.protocol, flow.port_b, flow.addr_a, flow.port_a);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> OtherNamespaceOwners::owner_with_local_end(std::uint8_t protocol,
                                                                        std::uint16_t local_port,
                                                                        const packets::IpAddress& remote_address,
                                                                        std::uint16_t remote_port) const {
    if (const auto owner = connected_.find(Key{remote_address, remote_port, local_port, protocol});
        owner != connected_.end()) {
        return owner->second;
    }
    const auto owner = bound_.find(Key{{}, 0, local_port, protocol});
    return owner == bound_.end() ? std::nullopt : std::optional(owner->second);
}

namespace {

template <typename Owners>
Owners with_rows(Owners owners, const std::vector<platform::SocketOwnerRow>& tcp,
                 const std::vector<platform::SocketOwnerRow>& udp) {
    for (const platform::SocketOwnerRow& row : tcp) {
        owners.add(packets::protocol_tcp, row);
    }
    for (const platform::SocketOwnerRow& row : udp) {
        owners.add(packets::protocol_udp, row);
    }
    return owners;
}

}  // namespace

SocketOwners build_socket_owners(const std::vector<platform::SocketOwnerRow>& tcp,
                                 const std::vector<platform::SocketOwnerRow>& udp) {
    return with_rows(SocketOwners{}, tcp, udp);
}

SocketOwners query_socket_owners(platform::SocketTableReader& reader) {
    const auto tcp = reader.read(platform::SocketProtocol::tcp);
    const auto udp = reader.read(platform::SocketProtocol::udp);
    return build_socket_owners(tcp.value_or(std::vector<platform::SocketOwnerRow>{}),
                               udp.value_or(std::vector<platform::SocketOwnerRow>{}));
}

OtherNamespaceOwners build_other_namespace_owners(const std::vector<platform::SocketOwnerRow>& tcp,
                                                  const std::vector<platform::SocketOwnerRow>& udp) {
    return with_rows(OtherNamespaceOwners{}, tcp, udp);
}

OtherNamespaceOwners query_other_namespace_owners(platform::SocketTableReader& reader) {
    return build_other_namespace_owners(reader.read_other_namespaces(platform::SocketProtocol::tcp),
                                        reader.read_other_namespaces(platform::SocketProtocol::udp));
}

std::string executable_base_name(const std::string& path) {
    const auto separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

namespace {

// A container engine's name for the control group of one container, and the
// text around the container's id or name in it.
struct ContainerGroup {
    std::string_view engine;
    std::string_view before;
    std::string_view after;
    std::size_t shown = 12;  // ids are cut to the length their engines show
};

constexpr std::array<ContainerGroup, 6> container_groups = {{
    {"docker", "docker-", ".scope"},
    {"docker", "/docker/", ""},
    {"podman", "libpod-", ".scope"},
    {"containerd", "cri-containerd-", ".scope"},
    {"lxc", "lxc.payload.", "", std::string_view::npos},
    {"lxc", "/lxc/", "", std::string_view::npos},
}};

}  // namespace

std::optional<std::string> container_of(std::string_view control_groups) {
    while (!control_groups.empty()) {
        const std::string_view line = control_groups.substr(0, control_groups.find('\n'));
        control_groups.remove_prefix(std::min(line.size() + 1, control_groups.size()));
        const std::size_t path_start = line.find(":/");
        if (path_start == std::string_view::npos || line.find(':') == path_start) {
            continue;  // not "ID:CONTROLLERS:PATH"
        }
        const std::string_view path = line.substr(path_start + 1);
        for (const ContainerGroup& group : container_groups) {
            const std::size_t at = path.rfind(group.before);
            if (at == std::string_view::npos) {
                continue;
            }
            std::string_view id = path.substr(at + group.before.size());
            id = id.substr(0, std::min(id.find('/'), group.after.empty() ? id.size() : id.find(group.after)));
            if (!id.empty() && !id.starts_with("conmon")) {
                return log::fill_message("{} {}", group.engine, id.substr(0, group.shown));
            }
        }
    }
    return std::nullopt;
}

const std::string& ProcessNameCache::name_of(std::uint32_t pid) {
    if (const auto cached = names_.find(pid); cached != names_.end()) {
        return cached->second;
    }
    const auto path = path_of_(pid);
    std::string name = path ? executable_base_name(*path) : log::fill_message("PID:{}", pid);
    const auto control_groups = control_groups_of_ ? control_groups_of_(pid) : std::nullopt;
    if (const auto container = control_groups ? container_of(*control_groups) : std::nullopt) {
        name += log::fill_message(" ({})", *container);
    }
    return names_.emplace(pid, std::move(name)).first->second;
}

void ProcessNameCache::prune(const std::unordered_set<std::uint32_t>& active) {
    if (names_.size() <= size_limit) {
        return;
    }
    std::erase_if(names_, [&active](const auto& entry) { return !active.contains(entry.first); });
}

}  // namespace tarnvale::engines::attr
