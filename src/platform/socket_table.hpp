#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "packets/ip_address.hpp"

namespace tarnvale::platform {

// One socket of the system's IPv4 or IPv6 socket tables. An IPv6 socket bound
// or connected to an IPv4-mapped address carries it as such, and so equals the
// IPv4 address of its packets. A socket that is not connected (a listening TCP
// socket, an unconnected UDP one) has remote port 0.
struct SocketOwnerRow {
    packets::IpAddress local_address;
    std::uint16_t local_port = 0;
    std::uint32_t pid = 0;  // 0 when the socket has no owning process
    packets::IpAddress remote_address;
    std::uint16_t remote_port = 0;
};

enum class SocketProtocol { tcp, udp };

// Reads the IPv4 and IPv6 socket tables with the owning process of each socket. Keeps
// whatever it learns between queries (on Linux, which process holds which
// socket inode) so that a steady system costs one table read per protocol.
// Used by one thread at a time.
class SocketTableReader {
public:
    SocketTableReader();
    SocketTableReader(const SocketTableReader&) = delete;
    SocketTableReader& operator=(const SocketTableReader&) = delete;
    ~SocketTableReader();

    // Every socket of the protocol (TCP in all states), the IPv4 table's in the
    // system's order and then the IPv6 table's; nothing when the IPv4 table
    // cannot be read. An IPv6 table that cannot be read (a system without
    // IPv6) adds no rows.
    std::optional<std::vector<SocketOwnerRow>> read(SocketProtocol protocol);

    // Every socket of the protocol in the system's other network namespaces
    // (containers'), with their owners where they can be found; none where
    // the system has no such namespaces or they cannot be read.
    std::vector<SocketOwnerRow> read_other_namespaces(SocketProtocol protocol);

    // How many processes the last search for owners could not look into
    // (another user's, to a probe without the rights to read their
    // descriptors): their sockets have no owner. Always 0 where the tables
    // name the owners themselves.
    std::size_t processes_not_readable() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Whether the socket tables may show a local connection without its owner
// because the connecting process lies outside the system the tables describe:
// only under Wine, whose tables know Wine's processes and not the Linux ones
// beside them. Everywhere else an owner the tables do not name is refused.
bool peers_may_lack_owners();

// The IPv4 and IPv6 addresses assigned to the machine's interfaces, in
// interface order, 127.0.0.0/8 and ::1 left out.
std::vector<packets::IpAddress> local_ip_addresses();

// The full path of the process's executable; nothing when it cannot be read
// (no such process, no permission, a kernel thread).
std::optional<std::string> process_executable_path(std::uint32_t pid);

// What the system says of the process's control groups (on Linux the text of
// /proc/PID/cgroup), where containers' engines name their containers; nothing
// where it cannot be read or the system has none.
std::optional<std::string> process_control_groups(std::uint32_t pid);

}  // namespace tarnvale::platform
