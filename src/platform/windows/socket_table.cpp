// Winsock 2 must come before the IP Helper and process-status headers.
#include "platform/windows/windows_api.hpp"

#include <iphlpapi.h>
#include <psapi.h>

#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "platform/socket_address.hpp"
#include "platform/socket_table.hpp"

namespace tarnvale::platform {

namespace {

std::uint16_t port_of(DWORD network_order_port) { return ::ntohs(static_cast<u_short>(network_order_port)); }

// One sizing call and one reading call, never retried: a table that grew in
// between gives no rows this time. `row_of` makes a row of a table entry;
// rows are appended to `rows` in the table's order.
template <typename Table, typename Query, typename RowOf>
void read_rows(Query query, RowOf row_of, std::vector<SocketOwnerRow>& rows) {
    ULONG size = 0;
    query(nullptr, &size);
    if (size == 0) {
        return;
    }
    std::vector<std::uint8_t> buffer(size);
    if (query(buffer.data(), &size) != NO_ERROR) {
        return;
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    rows.reserve(rows.size() + table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        rows.push_back(row_of(table->table[i]));
    }
}

packets::IpAddress ipv4_address(DWORD network_order_address) {
    return packets::IpAddress(packets::Ipv4::from_network_word(network_order_address));
}

packets::IpAddress ipv6_address(const UCHAR (&bytes)[16]) {
    return packets::IpAddress::from_wire(std::span<const std::uint8_t>(bytes, 16), 0);
}

SocketOwnerRow tcp_row(const MIB_TCPROW_OWNER_PID& row) {
    return {ipv4_address(row.dwLocalAddr), port_of(row.dwLocalPort), row.dwOwningPid, ipv4_address(row.dwRemoteAddr),
            port_of(row.dwRemotePort)};
}

SocketOwnerRow tcp6_row(const MIB_TCP6ROW_OWNER_PID& row) {
    return {ipv6_address(row.ucLocalAddr), port_of(row.dwLocalPort), row.dwOwningPid, ipv6_address(row.ucRemoteAddr),
            port_of(row.dwRemotePort)};
}

// The UDP tables know no remote endpoint: every row counts as unconnected.
SocketOwnerRow udp_row(const MIB_UDPROW_OWNER_PID& row) {
    return {ipv4_address(row.dwLocalAddr), port_of(row.dwLocalPort), row.dwOwningPid, {}, 0};
}

SocketOwnerRow udp6_row(const MIB_UDP6ROW_OWNER_PID& row) {
    return {ipv6_address(row.ucLocalAddr), port_of(row.dwLocalPort), row.dwOwningPid, {}, 0};
}

}  // namespace

struct SocketTableReader::State {};

SocketTableReader::SocketTableReader() : state_(std::make_unique<State>()) {}
SocketTableReader::~SocketTableReader() = default;

std::size_t SocketTableReader::processes_not_readable() const { return 0; }

// Windows containers and WSL reach the network through virtual adapters of
// their own; their sockets are not the host's to read.
std::vector<SocketOwnerRow> SocketTableReader::read_other_namespaces(SocketProtocol) { return {}; }

std::optional<std::vector<SocketOwnerRow>> SocketTableReader::read(SocketProtocol protocol) {
    std::vector<SocketOwnerRow> rows;
    if (protocol == SocketProtocol::tcp) {
        read_rows<MIB_TCPTABLE_OWNER_PID>(
            [](void* table, ULONG* size) {
                return ::GetExtendedTcpTable(table, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
            },
            tcp_row, rows);
        read_rows<MIB_TCP6TABLE_OWNER_PID>(
            [](void* table, ULONG* size) {
                return ::GetExtendedTcpTable(table, size, FALSE, AF_INET6, TCP_TABLE_OWNER_PID_ALL, 0);
            },
            tcp6_row, rows);
        return rows;
    }
    read_rows<MIB_UDPTABLE_OWNER_PID>(
        [](void* table, ULONG* size) {
            return ::GetExtendedUdpTable(table, size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
        },
        udp_row, rows);
    read_rows<MIB_UDP6TABLE_OWNER_PID>(
        [](void* table, ULONG* size) {
            return ::GetExtendedUdpTable(table, size, FALSE, AF_INET6, UDP_TABLE_OWNER_PID, 0);
        },
        udp6_row, rows);
    return rows;
}

std::vector<packets::IpAddress> local_ip_addresses() {
    std::vector<packets::IpAddress> addresses;
    constexpr ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The documented way: start with 15 kB and grow once if told to.
    ULONG size = 15 * 1024;
    std::vector<std::uint8_t> buffer(size);
    ULONG result = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                          reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) {
        return addresses;
    }
    for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        for (const IP_ADAPTER_UNICAST_ADDRESS* entry = adapter->FirstUnicastAddress; entry != nullptr;
             entry = entry->Next) {
            const auto local =
                address_of(entry->Address.lpSockaddr, static_cast<std::size_t>(entry->Address.iSockaddrLength));
            if (!local || packets::is_loopback(*local)) {
                continue;
            }
            addresses.push_back(*local);
        }
    }
    return addresses;
}

bool peers_may_lack_owners() {
    // Wine's own library exports its version; Windows' does not.
    static const bool under_wine =
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return under_wine;
}

std::optional<std::string> process_executable_path(std::uint32_t pid) {
    constexpr DWORD query_and_read = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ;  // 0x1010
    const HANDLE process = ::OpenProcess(query_and_read, FALSE, pid);
    if (process == nullptr) {
        return std::nullopt;
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameExW(process, nullptr, path, MAX_PATH);
    ::CloseHandle(process);
    if (length == 0) {
        return std::nullopt;
    }
    return narrow(std::wstring_view(path, length));
}

// Windows containers' processes are not the host's to name.
std::optional<std::string> process_control_groups(std::uint32_t) { return std::nullopt; }

}  // namespace tarnvale::platform
