#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/handle.hpp"
#include "platform/socket_address.hpp"
#include "platform/socket_table.hpp"

// Linux socket tables carry no owner: the kernel reports each socket's inode
// (netlink sock_diag), and a process owns the inodes its descriptors point to
// (/proc/PID/fd/N links read "socket:[INODE]").
namespace tarnvale::platform {

namespace {

struct DiagnosticRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

struct InodeRow {
    packets::IpAddress local_address;
    std::uint16_t local_port;
    packets::IpAddress remote_address;
    std::uint16_t remote_port;
    std::uint64_t inode;
};

// One of the socket's addresses (`words` is idiag_src or idiag_dst) in its family.
packets::IpAddress diag_address(std::uint8_t family, const std::uint32_t (&words)[4]) {
    if (family == AF_INET6) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(words);
        return packets::IpAddress::from_wire(std::span(bytes, sizeof(words)), 0);
    }
    return packets::IpAddress(packets::Ipv4::from_network_word(words[0]));
}

std::optional<std::vector<InodeRow>> dump_sockets(std::uint8_t family, std::uint8_t protocol) {
    const OwnedSocket socket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!socket.valid()) {
        return std::nullopt;
    }
    const int descriptor = static_cast<int>(socket.native());
    DiagnosticRequest message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = family;
    message.request.sdiag_protocol = protocol;
    message.request.idiag_states = ~0U;  // every state, listening and closing ones included
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(descriptor, &message, sizeof(message), 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof(kernel)) < 0) {
        return std::nullopt;
    }
    std::vector<InodeRow> rows;
    alignas(nlmsghdr) std::array<char, 32768> buffer;
    for (;;) {
        const ssize_t received = ::recv(descriptor, buffer.data(), buffer.size(), 0);
        if (received <= 0) {
            return std::nullopt;
        }
        auto remaining = static_cast<unsigned>(received);
        for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_type == NLMSG_DONE) {
                return rows;
            }
            if (header->nlmsg_type == NLMSG_ERROR || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                return std::nullopt;
            }
            const auto* socket_info = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            const inet_diag_sockid& id = socket_info->id;
            rows.push_back(InodeRow{diag_address(socket_info->idiag_family, id.idiag_src), ntohs(id.idiag_sport),
                                    diag_address(socket_info->idiag_family, id.idiag_dst), ntohs(id.idiag_dport),
                                    socket_info->idiag_inode});
        }
    }
}

std::optional<std::uint64_t> socket_inode_of_link(const char* link, std::size_t length) {
    constexpr std::string_view prefix = "socket:[";
    const std::string_view text(link, length);
    if (!text.starts_with(prefix) || !text.ends_with(']')) {
        return std::nullopt;
    }
    std::uint64_t inode = 0;
    const char* first = text.data() + prefix.size();
    const char* last = text.data() + text.size() - 1;
    if (std::from_chars(first, last, inode).ptr != last) {
        return std::nullopt;
    }
    return inode;
}

struct OwnerSearch {
    // Every socket inode held open by a process, with the first process
    // (lowest id) that holds it.
    std::unordered_map<std::uint64_t, std::uint32_t> owners;
    // Processes whose descriptors were refused: another user's, read without
    // CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE.
    std::size_t not_readable = 0;
};

OwnerSearch search_socket_owners() {
    OwnerSearch search;
    auto& owners = search.owners;
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return search;
    }
    while (const dirent* process = ::readdir(processes)) {
        std::uint32_t pid = 0;
        const std::string_view name(process->d_name);
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ptr != name.data() + name.size()) {
            continue;
        }
        const std::string directory = "/proc/" + std::string(name) + "/fd";
        const int descriptors_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptors_fd < 0) {
            if (errno == EACCES || errno == EPERM) {
                ++search.not_readable;
            }
            continue;  // ended meanwhile, or not ours to read
        }
        DIR* descriptors = ::fdopendir(descriptors_fd);
        if (descriptors == nullptr) {
            ::close(descriptors_fd);
            continue;
        }
        std::array<char, 64> link{};
        while (const dirent* descriptor = ::readdir(descriptors)) {
            if (descriptor->d_name[0] == '.') {
                continue;
            }
            const ssize_t length = ::readlinkat(descriptors_fd, descriptor->d_name, link.data(), link.size());
            if (length <= 0) {
                continue;
            }
            if (const auto inode = socket_inode_of_link(link.data(), static_cast<std::size_t>(length))) {
                owners.try_emplace(*inode, pid);
            }
        }
        ::closedir(descriptors);
    }
    ::closedir(processes);
    return search;
}

}  // namespace

struct SocketTableReader::State {
    std::unordered_map<std::uint64_t, std::uint32_t> owner_of_inode;
    // Inodes the last search found no owner for (a process of another pid
    // namespace, say): they alone do not start another search.
    std::unordered_set<std::uint64_t> ownerless;
    std::size_t processes_not_readable = 0;

    bool unknown(std::uint64_t inode) const {
        return inode != 0 && !owner_of_inode.contains(inode) && !ownerless.contains(inode);
    }
};

SocketTableReader::SocketTableReader() : state_(std::make_unique<State>()) {}
SocketTableReader::~SocketTableReader() = default;

std::optional<std::vector<SocketOwnerRow>> SocketTableReader::read(SocketProtocol protocol) {
    const std::uint8_t number = protocol == SocketProtocol::tcp ? IPPROTO_TCP : IPPROTO_UDP;
    auto dumped = dump_sockets(AF_INET, number);
    if (!dumped) {
        return std::nullopt;
    }
    if (const auto ipv6 = dump_sockets(AF_INET6, number)) {
        dumped->insert(dumped->end(), ipv6->begin(), ipv6->end());
    }
    State& state = *state_;
    bool search_needed = false;
    for (const InodeRow& row : *dumped) {
        search_needed = search_needed || state.unknown(row.inode);
    }
    if (search_needed) {
        OwnerSearch search = search_socket_owners();
        state.owner_of_inode = std::move(search.owners);
        state.processes_not_readable = search.not_readable;
        state.ownerless.clear();
    }
    std::vector<SocketOwnerRow> rows;
    rows.reserve(dumped->size());
    for (const InodeRow& row : *dumped) {
        const auto owner = state.owner_of_inode.find(row.inode);
        if (owner == state.owner_of_inode.end() && row.inode != 0) {
            state.ownerless.insert(row.inode);
        }
        // Sockets without an owner (closing ones have inode 0) still take
        // their place in the table, as process 0.
        const std::uint32_t pid = owner == state.owner_of_inode.end() ? 0 : owner->second;
        rows.push_back(SocketOwnerRow{row.local_address, row.local_port, pid, row.remote_address, row.remote_port});
    }
    return rows;
}

std::size_t SocketTableReader::processes_not_readable() const { return state_->processes_not_readable; }

std::vector<packets::IpAddress> local_ip_addresses() {
    std::vector<packets::IpAddress> addresses;
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) {
        return addresses;
    }
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        // An interface's address is as long as its family's structure.
        const auto local = address_of(entry->ifa_addr, sizeof(sockaddr_in6));
        if (local && !packets::is_loopback(*local)) {
            addresses.push_back(*local);
        }
    }
    ::freeifaddrs(interfaces);
    return addresses;
}

bool peers_may_lack_owners() { return false; }

std::optional<std::string> process_executable_path(std::uint32_t pid) {
    std::array<char, 4096> path{};
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
        return std::nullopt;
    }
    return std::string(path.data(), static_cast<std::size_t>(length));
}

}  // namespace tarnvale::platform
