// The routing netlink parser over datagrams the kernel sent in a test network
// namespace (netlink_fixtures/): what each kind of change reads as, and that
// cut-off or corrupted datagrams read as less, never as something else.
#include <gtest/gtest.h>

#include <algorithm>

#include "netlink_fixture.hpp"
#include "platform/linux/netlink_notices.hpp"

namespace {

using namespace tarnvale;
using platform::NetworkNotice;
using platform::NoticeChange;
using platform::NoticeFamily;
using platform::NoticeSubject;

std::vector<NetworkNotice> notices_of(const std::vector<test::RecordedDatagram>& datagrams, bool snapshot) {
    std::vector<NetworkNotice> notices;
    for (const auto& datagram : datagrams) {
        if (datagram.snapshot == snapshot) {
            const auto parsed = platform::parse_netlink_notices(datagram.bytes);
            notices.insert(notices.end(), parsed.begin(), parsed.end());
        }
    }
    return notices;
}

const NetworkNotice* find(const std::vector<NetworkNotice>& notices, NoticeSubject subject, NoticeChange change,
                          const std::string& address, std::uint8_t prefix) {
    const auto found = std::find_if(notices.begin(), notices.end(), [&](const NetworkNotice& notice) {
        return notice.subject == subject && notice.change == change && to_text(notice.address) == address &&
               notice.prefix_length == prefix;
    });
    return found == notices.end() ? nullptr : &*found;
}

TEST(NetlinkNotices, TheDumpsReadAsTheSnapshotOfLinksAndAddresses) {
    const auto snapshot = notices_of(test::load_netlink_fixture("renew_v4"), true);
    ASSERT_FALSE(snapshot.empty());
    EXPECT_TRUE(std::all_of(snapshot.begin(), snapshot.end(), [](const NetworkNotice& n) { return n.snapshot; }));

    const auto links = std::count_if(snapshot.begin(), snapshot.end(),
                                     [](const NetworkNotice& n) { return n.subject == NoticeSubject::link; });
    EXPECT_EQ(links, 2);  // lo and eth0
    const auto loopback = std::find_if(snapshot.begin(), snapshot.end(), [](const NetworkNotice& n) { return n.loopback; });
    ASSERT_NE(loopback, snapshot.end());
    EXPECT_EQ(loopback->interface_index, 1u);
    EXPECT_EQ(loopback->change, NoticeChange::up);

    const auto* local = find(snapshot, NoticeSubject::address, NoticeChange::added, "127.0.0.1", 8);
    ASSERT_NE(local, nullptr);
    EXPECT_TRUE(local->host_only);
    const auto* uplink = find(snapshot, NoticeSubject::address, NoticeChange::added, "10.77.1.10", 24);
    ASSERT_NE(uplink, nullptr);
    EXPECT_EQ(uplink->family, NoticeFamily::ipv4);
    EXPECT_EQ(uplink->interface_index, 2u);
    EXPECT_TRUE(uplink->usable);
    EXPECT_FALSE(uplink->host_only || uplink->link_local || uplink->deprecated);
}

TEST(NetlinkNotices, AnAddressRenewalReadsAsTheOldAddressAndItsRoutesGoingAndTheNewComing) {
    const auto notices = notices_of(test::load_netlink_fixture("renew_v4"), false);
    EXPECT_TRUE(std::none_of(notices.begin(), notices.end(), [](const NetworkNotice& n) { return n.snapshot; }));
    ASSERT_NE(find(notices, NoticeSubject::address, NoticeChange::removed, "10.77.1.10", 24), nullptr);
    ASSERT_NE(find(notices, NoticeSubject::address, NoticeChange::added, "10.77.1.11", 24), nullptr);

    const auto* subnet = find(notices, NoticeSubject::route, NoticeChange::added, "10.77.1.0", 24);
    ASSERT_NE(subnet, nullptr);
    EXPECT_TRUE(subnet->main_table && subnet->unicast);
    EXPECT_FALSE(subnet->default_route);
    EXPECT_EQ(subnet->interface_index, 2u);

    const auto* default_route = find(notices, NoticeSubject::route, NoticeChange::added, "0.0.0.0", 0);
    ASSERT_NE(default_route, nullptr);
    EXPECT_TRUE(default_route->main_table && default_route->unicast && default_route->default_route);

    // The host route of the new address and the subnet's broadcast live in the local table.
    const auto* own = find(notices, NoticeSubject::route, NoticeChange::added, "10.77.1.11", 32);
    ASSERT_NE(own, nullptr);
    EXPECT_FALSE(own->main_table || own->unicast);
    const auto* broadcast = find(notices, NoticeSubject::route, NoticeChange::added, "10.77.1.255", 32);
    ASSERT_NE(broadcast, nullptr);
    EXPECT_FALSE(broadcast->main_table);
}

TEST(NetlinkNotices, AnIpv6AddressIsUnusableUntilDuplicateDetectionEnds) {
    const auto notices = notices_of(test::load_netlink_fixture("renew_v6"), false);
    std::vector<bool> usable;
    for (const auto& notice : notices) {
        if (notice.subject == NoticeSubject::address && to_text(notice.address) == "2001:db8:1::11") {
            EXPECT_EQ(notice.family, NoticeFamily::ipv6);
            EXPECT_EQ(notice.prefix_length, 64);
            usable.push_back(notice.usable);
        }
    }
    EXPECT_EQ(usable, (std::vector<bool>{false, true}));
}

TEST(NetlinkNotices, LinksGoingDownAndAwayAndLinkLocalChurnAreTold) {
    const auto notices = notices_of(test::load_netlink_fixture("swap_v6"), false);
    ASSERT_FALSE(notices.empty());
    EXPECT_EQ(notices.back().subject, NoticeSubject::link);
    EXPECT_EQ(notices.back().change, NoticeChange::removed);
    EXPECT_EQ(notices.back().interface_index, 2u);

    const auto link_local = std::find_if(notices.begin(), notices.end(), [](const NetworkNotice& n) {
        return n.subject == NoticeSubject::address && n.address.octets()[0] == 0xFE;
    });
    ASSERT_NE(link_local, notices.end());
    EXPECT_TRUE(link_local->link_local);
    const auto* link_local_route = find(notices, NoticeSubject::route, NoticeChange::added, "fe80::", 64);
    ASSERT_NE(link_local_route, nullptr);
    EXPECT_TRUE(link_local_route->link_local);
    const auto* multicast = find(notices, NoticeSubject::route, NoticeChange::added, "ff00::", 8);
    ASSERT_NE(multicast, nullptr);
    EXPECT_FALSE(multicast->main_table || multicast->unicast);
    const auto* default_route = find(notices, NoticeSubject::route, NoticeChange::added, "::", 0);
    ASSERT_NE(default_route, nullptr);
    EXPECT_TRUE(default_route->default_route && default_route->main_table && default_route->unicast);
    EXPECT_EQ(default_route->interface_index, 3u);
}

TEST(NetlinkNotices, ACutOffDatagramReadsAsTheWholeMessagesBeforeTheCut) {
    for (const char* fixture : {"link_bounce_v4", "swap_v6", "noise"}) {
        for (const auto& datagram : test::load_netlink_fixture(fixture)) {
            const auto whole = platform::parse_netlink_notices(datagram.bytes);
            for (std::size_t size = 0; size < datagram.bytes.size(); ++size) {
                const auto cut = platform::parse_netlink_notices(std::span(datagram.bytes).first(size));
                ASSERT_LE(cut.size(), whole.size()) << fixture << " cut at " << size;
                for (std::size_t index = 0; index < cut.size(); ++index) {
                    EXPECT_EQ(cut[index].address, whole[index].address) << fixture << " cut at " << size;
                    EXPECT_EQ(cut[index].subject, whole[index].subject) << fixture << " cut at " << size;
                }
            }
        }
    }
}

TEST(NetlinkNotices, ImpossibleLengthsEndTheReadingInsteadOfReachingPastTheBytes) {
    const auto recorded = test::load_netlink_fixture("renew_v4");
    auto datagram = std::find_if(recorded.begin(), recorded.end(), [](const auto& d) { return !d.snapshot; })->bytes;
    ASSERT_EQ(platform::parse_netlink_notices(datagram).size(), 1u);  // the old address's removal

    auto header_too_long = datagram;
    header_too_long[0] = static_cast<std::uint8_t>(header_too_long.size() + 1);
    EXPECT_TRUE(platform::parse_netlink_notices(header_too_long).empty());

    auto header_too_short = datagram;
    header_too_short[0] = 8;
    EXPECT_TRUE(platform::parse_netlink_notices(header_too_short).empty());

    // An attribute claiming more bytes than its message holds: the address in it is not read.
    auto attribute_too_long = datagram;
    const std::size_t first_attribute = 16 + 8;  // netlink header, ifaddrmsg
    attribute_too_long[first_attribute] = 0xFF;
    attribute_too_long[first_attribute + 1] = 0x0F;
    EXPECT_TRUE(platform::parse_netlink_notices(attribute_too_long).empty());

    // An address attribute of the wrong size for its family is not an address.
    auto wrong_size = datagram;
    for (std::size_t offset = first_attribute; offset + 4 <= wrong_size.size();
         offset += (static_cast<std::size_t>(wrong_size[offset]) + 3) & ~std::size_t{3}) {
        if (wrong_size[offset] == 8) {  // a four-byte address attribute becomes a three-byte one
            wrong_size[offset] = 7;
        }
    }
    EXPECT_TRUE(platform::parse_netlink_notices(wrong_size).empty());
}

}  // namespace
