#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "packets/ipv4.hpp"

namespace tarnvale::platform {

// One socket of the system's IPv4 socket tables, by its local endpoint.
struct SocketOwnerRow {
    packets::Ipv4 local_address;
    std::uint16_t local_port = 0;
    std::uint32_t pid = 0;  // 0 when the socket has no owning process
};

enum class SocketProtocol { tcp, udp };

// Reads the IPv4 socket tables with the owning process of each socket. Keeps
// whatever it learns between queries (on Linux, which process holds which
// socket inode) so that a steady system costs one table read per protocol.
// Used by one thread at a time.
class SocketTableReader {
public:
    SocketTableReader();
    SocketTableReader(const SocketTableReader&) = delete;
    SocketTableReader& operator=(const SocketTableReader&) = delete;
    ~SocketTableReader();

    // Every socket of the protocol (TCP in all states), in the system's order;
    // nothing when the table cannot be read.
    std::optional<std::vector<SocketOwnerRow>> read(SocketProtocol protocol);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Whether the socket tables may show a local connection without its owner
// because the connecting process lies outside the system the tables describe:
// only under Wine, whose tables know Wine's processes and not the Linux ones
// beside them. Everywhere else an owner the tables do not name is refused.
bool peers_may_lack_owners();

// The IPv4 addresses assigned to the machine's interfaces, in interface order,
// 127.0.0.0/8 left out.
std::vector<packets::Ipv4> local_ipv4_addresses();

// The full path of the process's executable; nothing when it cannot be read
// (no such process, no permission, a kernel thread).
std::optional<std::string> process_executable_path(std::uint32_t pid);

}  // namespace tarnvale::platform
