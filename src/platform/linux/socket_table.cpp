#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// One line of /proc/PID/net/{tcp,tcp6,udp,udp6}: "sl local rem st queues tr
// retrnsmt uid timeout inode ...", each address the hexadecimal of its 32-bit
// words as they lie in memory, and its port after a colon.
std::optional<InodeRow> proc_table_row(std::string_view line, std::uint8_t family) {
    std::array<std::string_view, 10> fields{};
    std::size_t count = 0;
    for (std::size_t at = 0; count < fields.size();) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        const std::size_t end = std::min(line.find(' ', at), line.size());
        fields[count++] = line.substr(at, end - at);
        at = end;
    }
    const auto endpoint = [family](std::string_view text) -> std::optional<std::pair<packets::IpAddress, std::uint16_t>> {
        const std::size_t words_count = family == AF_INET6 ? 4 : 1;
        if (text.size() != words_count * 8 + 5 || text[words_count * 8] != ':') {
            return std::nullopt;
        }
        std::uint32_t words[4] = {};
        for (std::size_t index = 0; index < words_count; ++index) {
            const char* first = text.data() + index * 8;
            if (std::from_chars(first, first + 8, words[index], 16).ptr != first + 8) {
                return std::nullopt;
            }
        }
        std::uint16_t port = 0;
        const char* port_text = text.data() + words_count * 8 + 1;
        if (std::from_chars(port_text, port_text + 4, port, 16).ptr != port_text + 4) {
            return std::nullopt;
        }
        return std::pair(diag_address(family, words), port);
    };
    const auto local = endpoint(fields[1]);
    const auto remote = endpoint(fields[2]);
    std::uint64_t inode = 0;
    const std::string_view inode_text = fields[9];
    if (!local || !remote ||
        std::from_chars(inode_text.data(), inode_text.data() + inode_text.size(), inode).ptr !=
            inode_text.data() + inode_text.size()) {
        return std::nullopt;
    }
    return InodeRow{local->first, local->second, remote->first, remote->second, inode};
}

// The whole text of a /proc file; nothing when it cannot be opened.
std::optional<std::string> read_proc_file(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 16384> chunk;
    for (ssize_t length; (length = ::read(descriptor, chunk.data(), chunk.size())) > 0;) {
        text.append(chunk.data(), static_cast<std::size_t>(length));
    }
    ::close(descriptor);
    return text;
}

// The rows of one /proc table; nothing when it cannot be read.
std::optional<std::vector<InodeRow>> read_proc_table(const std::string& path, std::uint8_t family) {
    const auto text = read_proc_file(path);
    if (!text) {
        return std::nullopt;
    }
    std::vector<InodeRow> rows;
    std::string_view rest(*text);
    rest.remove_prefix(std::min(rest.find('\n'), rest.size()));  // the heading
    while (!rest.empty()) {
        rest.remove_prefix(1);
        const std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(line.size());
        if (const auto row = proc_table_row(line, family)) {
            rows.push_back(*row);
        }
    }
    return rows;
}

// Which network namespace a process is in, readable without rights over the
// process: each namespace's /proc tables are entries of their own, so the
// inode of /proc/PID/net/tcp tells namespaces apart.
std::optional<std::uint64_t> namespace_of(const std::string& process_directory) {
    struct stat table {};
    if (::stat((process_directory + "/net/tcp").c_str(), &table) != 0) {
        return std::nullopt;
    }
    return table.st_ino;
}

// One process of each network namespace other than the probe's own.
std::vector<std::string> one_process_per_other_namespace() {
    std::vector<std::string> processes;
    const auto own = namespace_of("/proc/self");
    DIR* directory = ::opendir("/proc");
    if (directory == nullptr || !own) {
        if (directory != nullptr) {
            ::closedir(directory);
        }
        return processes;
    }
    std::unordered_set<std::uint64_t> seen{*own};
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name(entry->d_name);
        std::uint32_t pid = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ptr != name.data() + name.size()) {
            continue;
        }
        std::string process = "/proc/" + std::string(name);
        if (const auto space = namespace_of(process); space && seen.insert(*space).second) {
            processes.push_back(std::move(process));
        }
    }
    ::closedir(directory);
    return processes;
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

    // The rows with their owners, searched for again when a socket is new.
    std::vector<SocketOwnerRow> with_owners(const std::vector<InodeRow>& dumped) {
        const bool search_needed =
            std::any_of(dumped.begin(), dumped.end(), [this](const InodeRow& row) { return unknown(row.inode); });
        if (search_needed) {
            OwnerSearch search = search_socket_owners();
            owner_of_inode = std::move(search.owners);
            processes_not_readable = search.not_readable;
            ownerless.clear();
        }
        std::vector<SocketOwnerRow> rows;
        rows.reserve(dumped.size());
        for (const InodeRow& row : dumped) {
            const auto owner = owner_of_inode.find(row.inode);
            if (owner == owner_of_inode.end() && row.inode != 0) {
                ownerless.insert(row.inode);
            }
            // Sockets without an owner (closing ones have inode 0) still take
            // their place in the table, as process 0.
            const std::uint32_t pid = owner == owner_of_inode.end() ? 0 : owner->second;
            rows.push_back(SocketOwnerRow{row.local_address, row.local_port, pid, row.remote_address, row.remote_port});
        }
        return rows;
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
    return state_->with_owners(*dumped);
}

// sock_diag answers for the namespace of its socket only; the /proc tables of
// a process in another namespace are that namespace's, and anyone may read them.
std::vector<SocketOwnerRow> SocketTableReader::read_other_namespaces(SocketProtocol protocol) {
    const std::string_view table = protocol == SocketProtocol::tcp ? "tcp" : "udp";
    std::vector<InodeRow> dumped;
    for (const std::string& process : one_process_per_other_namespace()) {
        for (const auto& [suffix, family] : {std::pair<std::string_view, std::uint8_t>{"", AF_INET}, {"6", AF_INET6}}) {
            const auto rows = read_proc_table(process + "/net/" + std::string(table) + std::string(suffix), family);
            if (rows) {
                dumped.insert(dumped.end(), rows->begin(), rows->end());
            }
        }
    }
    return state_->with_owners(dumped);
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

std::optional<std::string> process_control_groups(std::uint32_t pid) {
    return read_proc_file("/proc/" + std::to_string(pid) + "/cgroup");
}

}  // namespace tarnvale::platform
