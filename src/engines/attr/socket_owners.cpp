#include "engines/attr/socket_owners.hpp"

#include "log/fill.hpp"
#include "packets/byte_order.hpp"

namespace tarnvale::engines::attr {

SocketOwnerTable build_owner_table(const std::vector<platform::SocketOwnerRow>& tcp,
                                   const std::vector<platform::SocketOwnerRow>& udp) {
    SocketOwnerTable table;
    table.reserve(tcp.size() + udp.size());
    for (const auto* rows : {&tcp, &udp}) {
        for (const platform::SocketOwnerRow& row : *rows) {
            table.insert_or_assign(SocketKey{row.local_address, row.local_port}, row.pid);
        }
    }
    return table;
}

SocketOwnerTable query_socket_owners(platform::SocketTableReader& reader) {
    const auto tcp = reader.read(platform::SocketProtocol::tcp);
    const auto udp = reader.read(platform::SocketProtocol::udp);
    return build_owner_table(tcp.value_or(std::vector<platform::SocketOwnerRow>{}),
                             udp.value_or(std::vector<platform::SocketOwnerRow>{}));
}

SocketOwnerTable with_recently_closed(SocketOwnerTable current, const SocketOwnerTable& previous) {
    for (const auto& [key, owner] : previous) {
        current.try_emplace(key, owner);
    }
    return current;
}

std::optional<std::uint32_t> owner_of(const SocketOwnerTable& table, const packets::IpAddress& address,
                                      std::uint16_t port) {
    const auto owner = table.find(SocketKey{address, port});
    if (owner == table.end()) {
        return std::nullopt;
    }
    return owner->second;
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
