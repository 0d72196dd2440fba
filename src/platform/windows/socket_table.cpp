// Winsock 2 must come before the IP Helper and process-status headers.
#include "platform/windows/windows_api.hpp"

#include <iphlpapi.h>
#include <psapi.h>

#include <vector>

#include "platform/socket_table.hpp"

namespace tarnvale::platform {

namespace {

std::uint16_t port_of(DWORD network_order_port) { return ::ntohs(static_cast<u_short>(network_order_port)); }

// One sizing call and one reading call, never retried: a table that grew in
// between gives no rows this time. Rows are (local address, local port, owner)
// in the table's order.
template <typename Table, typename Query>
std::vector<SocketOwnerRow> read_rows(Query query) {
    ULONG size = 0;
    query(nullptr, &size);
    if (size == 0) {
        return {};
    }
    std::vector<std::uint8_t> buffer(size);
    if (query(buffer.data(), &size) != NO_ERROR) {
        return {};
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    std::vector<SocketOwnerRow> rows;
    rows.reserve(table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const auto& row = table->table[i];
        rows.push_back({packets::Ipv4::from_network_word(row.dwLocalAddr), port_of(row.dwLocalPort), row.dwOwningPid});
    }
    return rows;
}

}  // namespace

struct SocketTableReader::State {};

SocketTableReader::SocketTableReader() : state_(std::make_unique<State>()) {}
SocketTableReader::~SocketTableReader() = default;

std::optional<std::vector<SocketOwnerRow>> SocketTableReader::read(SocketProtocol protocol) {
    if (protocol == SocketProtocol::tcp) {
        return read_rows<MIB_TCPTABLE_OWNER_PID>([](void* table, ULONG* size) {
            return ::GetExtendedTcpTable(table, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        });
    }
    return read_rows<MIB_UDPTABLE_OWNER_PID>([](void* table, ULONG* size) {
        return ::GetExtendedUdpTable(table, size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    });
}

std::vector<packets::Ipv4> local_ipv4_addresses() {
    std::vector<packets::Ipv4> addresses;
    ULONG size = 0;
    if (::GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) {
        return addresses;
    }
    std::vector<std::uint8_t> buffer(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (::GetAdaptersInfo(adapters, &size) != NO_ERROR) {
        return addresses;
    }
    for (const IP_ADAPTER_INFO* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        for (const IP_ADDR_STRING* entry = &adapter->IpAddressList; entry != nullptr; entry = entry->Next) {
            in_addr address{};
            if (::inet_pton(AF_INET, entry->IpAddress.String, &address) != 1) {
                continue;
            }
            const auto local = packets::Ipv4::from_network_word(address.s_addr);
            if (!packets::in_network(local, packets::Ipv4(0x7F000000), 8)) {
                addresses.push_back(local);
            }
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

}  // namespace tarnvale::platform
