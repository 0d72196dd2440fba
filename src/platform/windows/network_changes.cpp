#include "platform/network_changes.hpp"

#include "platform/windows/windows_api.hpp"

// After windows_api.hpp: the IP helper's headers need Winsock's.
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace tarnvale::platform {

namespace {

std::error_code system_error(DWORD code) { return std::error_code(static_cast<int>(code), std::system_category()); }

NoticeFamily notice_family(ADDRESS_FAMILY family) {
    return family == AF_INET6 ? NoticeFamily::ipv6 : family == AF_INET ? NoticeFamily::ipv4 : NoticeFamily::unspecified;
}

packets::IpAddress address_of(const SOCKADDR_INET& address) {
    if (address.si_family == AF_INET) {
        std::uint8_t bytes[4];
        std::memcpy(bytes, &address.Ipv4.sin_addr, sizeof bytes);
        return packets::IpAddress(packets::Ipv4(std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                                                std::uint32_t{bytes[2]} << 8 | bytes[3]));
    }
    packets::IpAddress::Octets octets;
    std::memcpy(octets.data(), &address.Ipv6.sin6_addr, octets.size());
    return packets::IpAddress::from_octets(octets);
}

bool is_multicast_or_broadcast(const packets::IpAddress& address) {
    const auto& octets = address.octets();
    if (address.is_v4()) {
        return (octets[12] & 0xF0) == 0xE0 || address.v4().number() == 0xFFFFFFFF;
    }
    return octets[0] == 0xFF;
}

// An interface's row as the system passes it to a change callback carries its
// keys only; its state is read again. A row that cannot be read is gone.
NetworkNotice link_notice(MIB_IPINTERFACE_ROW row, bool snapshot, MIB_NOTIFICATION_TYPE type) {
    NetworkNotice notice;
    notice.subject = NoticeSubject::link;
    notice.snapshot = snapshot;
    notice.interface_index = row.InterfaceIndex;
    notice.family = notice_family(row.Family);
    notice.loopback = row.InterfaceLuid.Info.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    if (type == MibDeleteInstance || (!snapshot && ::GetIpInterfaceEntry(&row) != NO_ERROR)) {
        notice.change = NoticeChange::removed;
    } else {
        notice.change = row.Connected ? NoticeChange::up : NoticeChange::down;
    }
    return notice;
}

NetworkNotice address_notice(MIB_UNICASTIPADDRESS_ROW row, bool snapshot, MIB_NOTIFICATION_TYPE type) {
    NetworkNotice notice;
    notice.subject = NoticeSubject::address;
    notice.snapshot = snapshot;
    notice.interface_index = row.InterfaceIndex;
    notice.family = notice_family(row.Address.si_family);
    notice.address = address_of(row.Address);
    if (type == MibDeleteInstance || (!snapshot && ::GetUnicastIpAddressEntry(&row) != NO_ERROR)) {
        notice.change = NoticeChange::removed;
    } else {
        notice.change = NoticeChange::added;
    }
    notice.prefix_length = row.OnLinkPrefixLength;
    notice.usable = row.DadState == IpDadStatePreferred || row.DadState == IpDadStateDeprecated;
    notice.deprecated = row.DadState == IpDadStateDeprecated;
    notice.link_local = is_link_local_address(notice.address);
    notice.host_only = packets::is_loopback(notice.address);
    return notice;
}

NetworkNotice route_notice(const MIB_IPFORWARD_ROW2& row, MIB_NOTIFICATION_TYPE type) {
    NetworkNotice notice;
    notice.subject = NoticeSubject::route;
    notice.change = type == MibDeleteInstance ? NoticeChange::removed : NoticeChange::added;
    notice.interface_index = row.InterfaceIndex;
    notice.family = notice_family(row.DestinationPrefix.Prefix.si_family);
    notice.address = address_of(row.DestinationPrefix.Prefix);
    notice.prefix_length = row.DestinationPrefix.PrefixLength;
    // Windows keeps one table; its multicast, broadcast and loopback routes are
    // what Linux keeps apart in its local table.
    notice.main_table = true;
    notice.unicast = !row.Loopback && !is_multicast_or_broadcast(notice.address);
    notice.default_route = notice.prefix_length == 0;
    notice.link_local = is_link_local_address(notice.address) && notice.prefix_length >= (notice.address.is_v4() ? 16 : 10);
    return notice;
}

}  // namespace

struct NetworkChangeWatch::State {
    NetworkNoticeHandler on_notices;
    std::mutex delivering;  // the system's threads may call back at once; the handler runs one call at a time
    HANDLE routes = nullptr;
    HANDLE addresses = nullptr;
    HANDLE interfaces = nullptr;

    // Each cancellation returns once that registration's callbacks have ended.
    ~State() {
        for (HANDLE registration : {interfaces, addresses, routes}) {
            if (registration != nullptr) {
                ::CancelMibChangeNotify2(registration);
            }
        }
    }

    void deliver(std::span<const NetworkNotice> notices) {
        std::lock_guard lock(delivering);
        on_notices(notices);
    }

    // The interfaces and addresses as they stand, read when the system confirms the registrations.
    void deliver_snapshot() {
        std::vector<NetworkNotice> snapshot;
        PMIB_IPINTERFACE_TABLE interface_table = nullptr;
        if (::GetIpInterfaceTable(AF_UNSPEC, &interface_table) == NO_ERROR) {
            for (ULONG index = 0; index < interface_table->NumEntries; ++index) {
                snapshot.push_back(link_notice(interface_table->Table[index], true, MibInitialNotification));
            }
            ::FreeMibTable(interface_table);
        }
        PMIB_UNICASTIPADDRESS_TABLE address_table = nullptr;
        if (::GetUnicastIpAddressTable(AF_UNSPEC, &address_table) == NO_ERROR) {
            for (ULONG index = 0; index < address_table->NumEntries; ++index) {
                snapshot.push_back(address_notice(address_table->Table[index], true, MibInitialNotification));
            }
            ::FreeMibTable(address_table);
        }
        deliver(snapshot);
    }
};

namespace {

VOID NETIOAPI_API_ on_interface_change(PVOID context, PMIB_IPINTERFACE_ROW row, MIB_NOTIFICATION_TYPE type) {
    auto& state = *static_cast<NetworkChangeWatch::State*>(context);
    if (type == MibInitialNotification) {
        state.deliver_snapshot();
    } else if (row != nullptr) {
        const NetworkNotice notice = link_notice(*row, false, type);
        state.deliver({&notice, 1});
    }
}

VOID NETIOAPI_API_ on_address_change(PVOID context, PMIB_UNICASTIPADDRESS_ROW row, MIB_NOTIFICATION_TYPE type) {
    if (row != nullptr && type != MibInitialNotification) {
        const NetworkNotice notice = address_notice(*row, false, type);
        static_cast<NetworkChangeWatch::State*>(context)->deliver({&notice, 1});
    }
}

VOID NETIOAPI_API_ on_route_change(PVOID context, PMIB_IPFORWARD_ROW2 row, MIB_NOTIFICATION_TYPE type) {
    if (row != nullptr && type != MibInitialNotification) {
        const NetworkNotice notice = route_notice(*row, type);
        static_cast<NetworkChangeWatch::State*>(context)->deliver({&notice, 1});
    }
}

}  // namespace

NetworkChangeWatch::NetworkChangeWatch() = default;
NetworkChangeWatch::NetworkChangeWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}
NetworkChangeWatch::NetworkChangeWatch(NetworkChangeWatch&&) noexcept = default;
NetworkChangeWatch& NetworkChangeWatch::operator=(NetworkChangeWatch&&) noexcept = default;
NetworkChangeWatch::~NetworkChangeWatch() = default;

NetworkChangeWatch open_network_change_watch(NetworkNoticeHandler on_notices, std::error_code& error) {
    auto state = std::make_unique<NetworkChangeWatch::State>();
    state->on_notices = std::move(on_notices);
    // Interfaces last, with the initial notification: the snapshot it brings is
    // read once addresses and routes are already watched, so no change falls between.
    DWORD status = ::NotifyRouteChange2(AF_UNSPEC, on_route_change, state.get(), FALSE, &state->routes);
    if (status == NO_ERROR) {
        status = ::NotifyUnicastIpAddressChange(AF_UNSPEC, on_address_change, state.get(), FALSE, &state->addresses);
    }
    if (status == NO_ERROR) {
        status = ::NotifyIpInterfaceChange(AF_UNSPEC, on_interface_change, state.get(), TRUE, &state->interfaces);
    }
    if (status != NO_ERROR) {
        error = system_error(status);
        return {};
    }
    return NetworkChangeWatch(std::move(state));
}

}  // namespace tarnvale::platform
