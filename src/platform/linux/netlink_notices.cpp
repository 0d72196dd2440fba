#include "platform/linux/netlink_notices.hpp"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace tarnvale::platform {

namespace {

template <typename T>
std::optional<T> read_struct(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes.data(), sizeof(T));
    return value;
}

constexpr std::size_t align4(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

// The attributes after a message's fixed part, as (type, value) pairs; stops at
// the first impossible length.
void for_each_attribute(std::span<const std::uint8_t> attributes,
                        const std::function<void(std::uint16_t, std::span<const std::uint8_t>)>& visit) {
    while (const auto header = read_struct<rtattr>(attributes)) {
        if (header->rta_len < sizeof(rtattr) || header->rta_len > attributes.size()) {
            return;
        }
        visit(header->rta_type, attributes.subspan(sizeof(rtattr), header->rta_len - sizeof(rtattr)));
        attributes = attributes.subspan(std::min(align4(header->rta_len), attributes.size()));
    }
}

std::optional<NoticeFamily> notice_family(std::uint8_t family) {
    switch (family) {
        case AF_INET:
            return NoticeFamily::ipv4;
        case AF_INET6:
            return NoticeFamily::ipv6;
        default:
            return std::nullopt;
    }
}

// An IPv4 or IPv6 address of the family's exact size.
std::optional<packets::IpAddress> read_address(NoticeFamily family, std::span<const std::uint8_t> value) {
    if (family == NoticeFamily::ipv4 && value.size() == 4) {
        return packets::IpAddress(packets::Ipv4(std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                                                std::uint32_t{value[2]} << 8 | value[3]));
    }
    if (family == NoticeFamily::ipv6 && value.size() == 16) {
        return packets::IpAddress::from_wire(value, 0);
    }
    return std::nullopt;
}

// The zero address of the family: a route's destination when it names none.
packets::IpAddress any_address(NoticeFamily family) {
    return family == NoticeFamily::ipv4 ? packets::IpAddress(packets::Ipv4(0)) : packets::IpAddress();
}

std::optional<NetworkNotice> link_notice(const NetlinkMessage& message) {
    const auto info = read_struct<ifinfomsg>(message.payload);
    // Messages of a protocol's family (IPv6's settings, a bridge's ports) say nothing of the link itself.
    if (!info || info->ifi_family != AF_UNSPEC || info->ifi_index <= 0) {
        return std::nullopt;
    }
    NetworkNotice notice;
    notice.subject = NoticeSubject::link;
    const bool up = (info->ifi_flags & IFF_UP) != 0 && (info->ifi_flags & IFF_RUNNING) != 0;
    notice.change = message.type == RTM_DELLINK ? NoticeChange::removed : up ? NoticeChange::up : NoticeChange::down;
    notice.interface_index = static_cast<std::uint32_t>(info->ifi_index);
    notice.loopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
    return notice;
}

std::optional<NetworkNotice> address_notice(const NetlinkMessage& message) {
    const auto info = read_struct<ifaddrmsg>(message.payload);
    const auto family = info ? notice_family(info->ifa_family) : std::nullopt;
    if (!family) {
        return std::nullopt;
    }
    std::optional<packets::IpAddress> local;
    std::optional<packets::IpAddress> peer;
    std::uint32_t flags = info->ifa_flags;
    for_each_attribute(message.payload.subspan(std::min(NLMSG_ALIGN(sizeof(ifaddrmsg)), message.payload.size())),
                       [&](std::uint16_t type, std::span<const std::uint8_t> value) {
                           if (type == IFA_LOCAL) {
                               local = read_address(*family, value);
                           } else if (type == IFA_ADDRESS) {
                               peer = read_address(*family, value);
                           } else if (type == IFA_FLAGS && value.size() == sizeof(std::uint32_t)) {
                               std::memcpy(&flags, value.data(), sizeof flags);  // the full set of flags
                           }
                       });
    // IFA_LOCAL is the host's own address; IFA_ADDRESS is the peer's on a point-to-point link.
    const auto address = local ? local : peer;
    if (!address) {
        return std::nullopt;
    }
    NetworkNotice notice;
    notice.subject = NoticeSubject::address;
    notice.change = message.type == RTM_DELADDR ? NoticeChange::removed : NoticeChange::added;
    notice.interface_index = info->ifa_index;
    notice.family = *family;
    notice.address = *address;
    notice.prefix_length = info->ifa_prefixlen;
    notice.usable = (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) == 0;
    notice.deprecated = (flags & IFA_F_DEPRECATED) != 0;
    notice.link_local = info->ifa_scope == RT_SCOPE_LINK || is_link_local_address(*address);
    notice.host_only = info->ifa_scope == RT_SCOPE_HOST || packets::is_loopback(*address);
    return notice;
}

std::optional<NetworkNotice> route_notice(const NetlinkMessage& message) {
    const auto info = read_struct<rtmsg>(message.payload);
    const auto family = info ? notice_family(info->rtm_family) : std::nullopt;
    if (!family) {
        return std::nullopt;
    }
    NetworkNotice notice;
    notice.subject = NoticeSubject::route;
    notice.change = message.type == RTM_DELROUTE ? NoticeChange::removed : NoticeChange::added;
    notice.family = *family;
    notice.address = any_address(*family);
    notice.prefix_length = info->rtm_dst_len;
    std::uint32_t table = info->rtm_table;
    for_each_attribute(message.payload.subspan(std::min(NLMSG_ALIGN(sizeof(rtmsg)), message.payload.size())),
                       [&](std::uint16_t type, std::span<const std::uint8_t> value) {
                           if (type == RTA_DST) {
                               notice.address = read_address(*family, value).value_or(notice.address);
                           } else if (type == RTA_OIF && value.size() == sizeof(std::uint32_t)) {
                               std::memcpy(&notice.interface_index, value.data(), sizeof(std::uint32_t));
                           } else if (type == RTA_TABLE && value.size() == sizeof(std::uint32_t)) {
                               std::memcpy(&table, value.data(), sizeof table);  // tables above 255
                           }
                       });
    notice.main_table = table == RT_TABLE_MAIN;
    notice.unicast = info->rtm_type == RTN_UNICAST && (info->rtm_flags & RTM_F_CLONED) == 0;
    notice.default_route = info->rtm_dst_len == 0;
    notice.link_local = is_link_local_address(notice.address) && notice.prefix_length >= (notice.address.is_v4() ? 16 : 10);
    return notice;
}

}  // namespace

void for_each_netlink_message(std::span<const std::uint8_t> datagram,
                              const std::function<void(const NetlinkMessage&)>& visit) {
    while (const auto header = read_struct<nlmsghdr>(datagram)) {
        if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > datagram.size()) {
            return;
        }
        visit(NetlinkMessage{header->nlmsg_type, header->nlmsg_flags, header->nlmsg_seq,
                             datagram.subspan(sizeof(nlmsghdr), header->nlmsg_len - sizeof(nlmsghdr))});
        datagram = datagram.subspan(std::min<std::size_t>(NLMSG_ALIGN(header->nlmsg_len), datagram.size()));
    }
}

std::vector<NetworkNotice> parse_netlink_notices(std::span<const std::uint8_t> datagram) {
    std::vector<NetworkNotice> notices;
    for_each_netlink_message(datagram, [&](const NetlinkMessage& message) {
        std::optional<NetworkNotice> notice;
        switch (message.type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
                notice = link_notice(message);
                break;
            case RTM_NEWADDR:
            case RTM_DELADDR:
                notice = address_notice(message);
                break;
            case RTM_NEWROUTE:
            case RTM_DELROUTE:
                notice = route_notice(message);
                break;
            default:
                break;
        }
        if (notice) {
            // Answers to a dump come as parts of one reply; notifications stand alone.
            notice->snapshot = (message.flags & NLM_F_MULTI) != 0;
            notices.push_back(*notice);
        }
    });
    return notices;
}

}  // namespace tarnvale::platform
