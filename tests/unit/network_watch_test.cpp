// Which network notices make the engines re-learn, and when: recorded kernel
// sequences for each kind of change (netlink_fixtures/) replayed at their
// recorded times, and the real watch in a network namespace of the test's own.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "engines/network_watch.hpp"
#include "netlink_fixture.hpp"
#include "platform/linux/netlink_notices.hpp"

namespace {

using namespace tarnvale;
using engines::NetworkWatch;
using platform::NetworkNotice;
using platform::NoticeSubject;
using std::chrono::milliseconds;

// Replays the recording into a watch, asking for the settled generation every
// millisecond as an engine might; the times (since the recording began) at
// which the generation grew.
std::vector<long> settled_changes(const std::string& fixture) {
    const auto datagrams = test::load_netlink_fixture(fixture);
    NetworkWatch watch;
    const NetworkWatch::Clock::time_point start{};
    std::vector<long> settled;
    std::uint64_t seen = 0;
    const milliseconds end = datagrams.back().at + milliseconds(2000);
    auto next = datagrams.begin();
    for (milliseconds now{0}; now <= end; now += milliseconds(1)) {
        for (; next != datagrams.end() && next->at <= now; ++next) {
            watch.take(platform::parse_netlink_notices(next->bytes), start + now);
        }
        if (const auto generation = watch.settled_generation(start + now); generation != seen) {
            EXPECT_EQ(generation, seen + 1) << fixture << " at " << now.count();
            seen = generation;
            settled.push_back(static_cast<long>(now.count()));
        }
    }
    return settled;
}

// Each list is 500 ms after the last notice that counts of each burst, worked
// out by hand from the recording (see each test).
TEST(NetworkWatchRecorded, AnAddressRenewalIsOneChange) {
    // Old address, its subnet route, the new address, its subnet route and the
    // default route re-added within 7 ms; the link-local address that finishes
    // its duplicate check a second later is noise.
    EXPECT_EQ(settled_changes("renew_v4"), (std::vector<long>{590}));
    // The new address is announced unusable at 73 ms and usable at 2034 ms; the
    // old one goes at 2583 ms: two changes, the gap between them over the quiet time.
    EXPECT_EQ(settled_changes("renew_v6"), (std::vector<long>{2534, 3083}));
}

TEST(NetworkWatchRecorded, ADeviceSwapIsOneChangePerQuietGap) {
    // The new device appears (59 ms), comes up with its address and routes,
    // takes the default route (84 ms); the old one goes at 390 ms: one burst.
    EXPECT_EQ(settled_changes("swap_v4"), (std::vector<long>{890}));
    // IPv6 waits for duplicate detection: the new device and its subnet route
    // (106 ms), its address usable (1727 ms), then the default route (2611 ms)
    // and the old device's removal (2917 ms).
    EXPECT_EQ(settled_changes("swap_v6"), (std::vector<long>{606, 2227, 3417}));
}

TEST(NetworkWatchRecorded, ALinkBounceCountsTheLinkAndTheRoutesComingBack) {
    // IPv4: the link goes down (87 ms; the kernel says nothing of the routes it
    // drops with it), its subnet and default routes are back at 1095-1101 ms
    // while the carrier is still down, and the carrier returns at 1992 ms.
    EXPECT_EQ(settled_changes("link_bounce_v4"), (std::vector<long>{587, 1601, 2492}));
    // IPv6: down with its routes and address (93 ms), up with the subnet route
    // (1102-1109 ms), the address usable again (2864 ms), the default route (3619 ms).
    EXPECT_EQ(settled_changes("link_bounce_v6"), (std::vector<long>{593, 1609, 3364, 4119}));
}

TEST(NetworkWatchRecorded, NoiseIsNoChange) {
    // Loopback and link-local addresses, local-table and other tables' routes,
    // promiscuous mode on and off, lifetimes renewed on the uplink's addresses.
    EXPECT_TRUE(settled_changes("noise").empty());
}

TEST(NetworkWatchRecorded, WithoutTheSnapshotARenewedLifetimeLooksLikeANewAddress) {
    // Why the watch reads the host's state first: the renewals in the noise
    // recording announce addresses the watch has never seen.
    NetworkWatch watch;
    const NetworkWatch::Clock::time_point start{};
    for (const auto& datagram : test::load_netlink_fixture("noise")) {
        if (!datagram.snapshot) {
            watch.take(platform::parse_netlink_notices(datagram.bytes), start + datagram.at);
        }
    }
    EXPECT_EQ(watch.settled_generation(start + milliseconds(10'000)), 1u);
}

TEST(NetworkWatch, LostAndFailedNoticesAlwaysCount) {
    NetworkWatch watch(milliseconds(500));
    const NetworkWatch::Clock::time_point start{};
    NetworkNotice lost;
    lost.subject = NoticeSubject::lost;
    watch.take({&lost, 1}, start);
    EXPECT_EQ(watch.settled_generation(start + milliseconds(499)), 0u);
    EXPECT_EQ(watch.settled_generation(start + milliseconds(500)), 1u);
    EXPECT_FALSE(watch.watch_failed());

    NetworkNotice failed;
    failed.subject = NoticeSubject::failed;
    failed.error = std::make_error_code(std::errc::bad_file_descriptor);
    watch.take({&failed, 1}, start + milliseconds(1000));
    EXPECT_TRUE(watch.watch_failed());
    EXPECT_EQ(watch.settled_generation(start + milliseconds(1500)), 2u);
    EXPECT_EQ(watch.settled_generation(start + milliseconds(9000)), 2u);
}

// A network namespace of the test's own, deleted when the test ends.
class TestNamespace {
public:
    TestNamespace() : name_("tvlrec-unit-" + std::to_string(::getpid())) { run("ip netns add " + name_); }
    ~TestNamespace() { run("ip netns del " + name_); }
    TestNamespace(const TestNamespace&) = delete;
    TestNamespace& operator=(const TestNamespace&) = delete;

    int run_inside(const std::string& command) const { return run("ip -n " + name_ + " " + command); }
    std::string path() const { return "/var/run/netns/" + name_; }

private:
    static int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }
    std::string name_;
};

TEST(NetworkChangeWatchLinux, SeesAnInterfaceComeUpWithAnAddressInANamespace) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "network namespaces need root";
    }
    TestNamespace network;
    NetworkWatch decisions(milliseconds(200));
    std::mutex mutex;
    std::condition_variable arrived;
    bool saw_address = false;
    std::size_t snapshot_links = 0;
    std::size_t calls = 0;

    // The watch's sockets belong to the namespace of the thread that opens it.
    platform::NetworkChangeWatch watch;
    std::error_code error;
    std::thread opener([&] {
        const int inside = ::open(network.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (inside < 0 || ::setns(inside, CLONE_NEWNET) != 0) {
            error = std::error_code(errno, std::system_category());
            return;
        }
        ::close(inside);
        watch = platform::open_network_change_watch(
            [&](std::span<const NetworkNotice> notices) {
                decisions.take(notices, NetworkWatch::Clock::now());
                std::lock_guard lock(mutex);
                ++calls;
                for (const auto& notice : notices) {
                    snapshot_links += notice.snapshot && notice.subject == NoticeSubject::link ? 1 : 0;
                    saw_address = saw_address || (notice.subject == NoticeSubject::address && !notice.snapshot &&
                                                  to_text(notice.address) == "10.77.9.10");
                }
                arrived.notify_all();
            },
            error);
    });
    opener.join();
    ASSERT_FALSE(error) << error.message();
    ASSERT_TRUE(watch.watching());

    ASSERT_EQ(network.run_inside("link add tv0 type veth peer name tv1"), 0);
    ASSERT_EQ(network.run_inside("addr add 10.77.9.10/24 dev tv0"), 0);
    ASSERT_EQ(network.run_inside("link set tv1 up"), 0);
    ASSERT_EQ(network.run_inside("link set tv0 up"), 0);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] { return saw_address; }));
        EXPECT_EQ(snapshot_links, 1u);  // the namespace's own loopback
    }
    const auto start = NetworkWatch::Clock::now();
    while (decisions.settled_generation(NetworkWatch::Clock::now()) == 0 &&
           NetworkWatch::Clock::now() - start < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_GE(decisions.settled_generation(NetworkWatch::Clock::now()), 1u);

    EXPECT_FALSE(decisions.watch_failed());

    watch = {};  // stops and joins the thread: no call of the handler follows
    const std::size_t calls_while_open = [&] {
        std::lock_guard lock(mutex);
        return calls;
    }();
    ASSERT_EQ(network.run_inside("link set tv0 down"), 0);
    std::this_thread::sleep_for(milliseconds(200));
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, calls_while_open);
}

}  // namespace
