#include "engines/attr/socket_owners.hpp"

#include "engines/attr/hash_mix.hpp"
#include "log/fill.hpp"
#include "packets/ipv4.hpp"

namespace tarnvale::engines::attr {

namespace {

constexpr packets::IpAddress ipv4_wildcard{packets::Ipv4()};
constexpr packets::IpAddress ipv6_wildcard{};

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

std::optional<std::uint32_t> SocketOwners::owner_of(std::uint8_t protocol, const packets::IpAddress& local_address,
                                                    std::uint16_t local_port, const packets::IpAddress& remote_address,
                                                    std::uint16_t remote_port) const {
    const Endpoint local{local_address, local_port, protocol};
    if (const auto owner = connected_.find(Connection{local, remote_address, remote_port}); owner != connected_.end()) {
        return owner->second;
    }
    if (const auto owner = bound_owner(local)) {
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
    const auto keep = [](auto& current, const auto& before) {
        for (const auto& [key, owner] : before) {
            auto [entry, added] = current.try_emplace(key, owner);
            if (!added && entry->second == 0) {
                entry->second = owner;
            }
        }
    };
    keep(connected_, previous.connected_);
    keep(bound_, previous.bound_);
}

SocketOwners build_socket_owners(const std::vector<platform::SocketOwnerRow>& tcp,
                                 const std::vector<platform::SocketOwnerRow>& udp) {
    SocketOwners owners;
    for (const platform::SocketOwnerRow& row : tcp) {
        owners.add(packets::protocol_tcp, row);
    }
    for (const platform::SocketOwnerRow& row : udp) {
        owners.add(packets::protocol_udp, row);
    }
    return owners;
}

SocketOwners query_socket_owners(platform::SocketTableReader& reader) {
    const auto tcp = reader.read(platform::SocketProtocol::tcp);
    const auto udp = reader.read(platform::SocketProtocol::udp);
    return build_socket_owners(tcp.value_or(std::vector<platform::SocketOwnerRow>{}),
                               udp.value_or(std::vector<platform::SocketOwnerRow>{}));
}

std::string executable_base_name(const std::string& path) {
    const auto separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

const std::string& ProcessNameCache::name_of(std::uint32_t pid) {
    if (const auto cached = names_.find(pid); cached != names_.end()) {
        return cached->second;
    }
    const auto path = path_of_(pid);
    std::string name = path ? executable_base_name(*path) : log::fill_message("PID:{}", pid);
    return names_.emplace(pid, std::move(name)).first->second;
}

void ProcessNameCache::prune(const std::unordered_set<std::uint32_t>& active) {
    if (names_.size() <= size_limit) {
        return;
    }
    std::erase_if(names_, [&active](const auto& entry) { return !active.contains(entry.first); });
}

}  // namespace tarnvale::engines::attr
