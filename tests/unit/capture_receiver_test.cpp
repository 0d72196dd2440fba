// The receiver every engine runs, over scripted captures: what reaches the
// engine's matching, what state it reports, and how it opens a failed capture again.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/receiver.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::capture;
using Bytes = std::vector<std::uint8_t>;

constexpr int ethernet = 1;
constexpr int raw_ipv4 = 12;

// One step of a scripted capture: a frame, a read timeout, or a read error.
struct Step {
    ReadStatus status;
    Bytes frame = {};
    std::uint32_t wire_length = 0;
};

// The counts every scripted capture reports.
constexpr CaptureCounts scripted_counts{7, 2};

// A capture that plays its steps, then raises the stop flag.
class ScriptedSource final : public PacketSource {
public:
    ScriptedSource(int link_type, std::deque<Step> steps, runtime::StopFlag& stop)
        : link_type_(link_type), steps_(std::move(steps)), stop_(stop) {}

    int link_type() const override { return link_type_; }
    ReadStatus next(CapturedFrame& frame) override {
        if (steps_.empty()) {
            stop_.raise();
            return ReadStatus::timeout;
        }
        current_ = std::move(steps_.front());
        steps_.pop_front();
        frame.bytes = current_.frame;
        frame.wire_length = current_.wire_length;
        frame.captured_at = std::chrono::system_clock::now();
        return current_.status;
    }
    std::string error_text() const override { return "interface went down"; }
    std::optional<CaptureCounts> counts() const override { return scripted_counts; }

private:
    int link_type_;
    std::deque<Step> steps_;
    runtime::StopFlag& stop_;
    Step current_{ReadStatus::timeout};
};

// Opens captures in turn from a script: a failure or a source; each request is kept.
class ScriptedOpener final : public CaptureOpener {
public:
    using Result = std::variant<OpenedCapture, OpenFailure>;
    mutable std::deque<Result> results;
    mutable std::vector<CaptureRequest> requests;

    // What choose answers in turn; when none is left, the device last opened.
    mutable std::deque<std::string> choices;
    mutable std::vector<CaptureRequest> choice_requests;

    std::variant<OpenedCapture, OpenFailure> open(const CaptureRequest& request) const override {
        requests.push_back(request);
        Result next = std::move(results.front());
        results.pop_front();
        if (const auto* opened = std::get_if<OpenedCapture>(&next)) {
            last_opened = opened->device;
        }
        return next;
    }
    std::variant<std::string, OpenFailure> choose(const CaptureRequest& request) const override {
        choice_requests.push_back(request);
        if (choices.empty()) {
            return last_opened;
        }
        std::string next = std::move(choices.front());
        choices.pop_front();
        return next;
    }

private:
    mutable std::string last_opened;
};

OpenedCapture source(runtime::StopFlag& stop, int link_type, std::deque<Step> steps) {
    return OpenedCapture{std::make_unique<ScriptedSource>(link_type, std::move(steps), stop), "eth0", std::nullopt};
}

ReceiverSetup setup() {
    return {{std::nullopt, {}, "icmp", true, "tarnvale_probe::test"},
            {"open failed", "filter failed", "link type", "read failed"},
            {std::chrono::milliseconds(1), std::chrono::milliseconds(4)}};
}

// What reached the engine's matching: each datagram's bytes and its frame's lengths.
struct Delivered {
    std::vector<Bytes> datagrams;
    std::vector<std::size_t> frame_lengths;
    std::vector<std::uint32_t> wire_lengths;
    DatagramHandler handler() {
        return [this](const CapturedDatagram& datagram) {
            datagrams.emplace_back(datagram.bytes.begin(), datagram.bytes.end());
            frame_lengths.push_back(datagram.frame_length);
            wire_lengths.push_back(datagram.wire_length);
        };
    }
};

TEST(CaptureReceiver, ACaptureThatCannotBeOpenedIsReportedAndEndsTheReceiver) {
    for (const auto step : {OpenFailure::Step::device, OpenFailure::Step::open, OpenFailure::Step::filter}) {
        ScriptedOpener opener;
        opener.results.emplace_back(OpenFailure{step, "no such device"});
        CaptureStatus status;
        runtime::StopFlag stop;
        Delivered delivered;
        EXPECT_FALSE(run_capture_receiver(opener, setup(), status, stop, delivered.handler())) << "no capture ran";
        const auto state = status.get();
        EXPECT_EQ(state.state, CaptureState::open_failed);
        EXPECT_EQ(state.error, "no such device");
        EXPECT_EQ(opener.requests.size(), 1u) << "the first opening is not retried";
        EXPECT_TRUE(delivered.datagrams.empty());
    }
}

TEST(CaptureReceiver, ADeviceListThatFailsIsSaidSoInTheReportedError) {
    ScriptedOpener opener;
    opener.results.emplace_back(OpenFailure{OpenFailure::Step::device_list, "socket: Address family not supported"});
    CaptureStatus status;
    runtime::StopFlag stop;
    auto own_choice = setup();
    own_choice.lines.device_choice = DeviceChoiceLines{"list failed", "none found", "chosen"};
    run_capture_receiver(opener, own_choice, status, stop, [](const CapturedDatagram&) {});
    EXPECT_EQ(status.get().state, CaptureState::open_failed);
    EXPECT_EQ(status.get().error, "pcap device list failed: socket: Address family not supported");
}

TEST(CaptureReceiver, TheLinkHeaderIsStrippedRuntFramesDroppedAndTheWireLengthKept) {
    ScriptedOpener opener;
    runtime::StopFlag stop;
    Bytes ethernet_frame(17, 0xEE);  // a 14-byte header, then three bytes of datagram
    ethernet_frame[14] = 0x45, ethernet_frame[15] = 1, ethernet_frame[16] = 2;
    opener.results.emplace_back(source(stop, ethernet,
                                       {{ReadStatus::packet, ethernet_frame, 1514},
                                        {ReadStatus::timeout},
                                        {ReadStatus::packet, Bytes(13, 0xEE), 60},
                                        {ReadStatus::packet, Bytes(14, 0xEE), 14}}));
    CaptureStatus status;
    Delivered delivered;
    auto request = setup();
    request.request.device = "eth3";
    const auto counts = run_capture_receiver(opener, request, status, stop, delivered.handler());
    EXPECT_EQ(opener.requests.front().device, "eth3") << "the configured device";
    EXPECT_EQ(delivered.datagrams, (std::vector<Bytes>{{0x45, 1, 2}, {}}));
    EXPECT_EQ(delivered.frame_lengths, (std::vector<std::size_t>{17, 14}));
    EXPECT_EQ(delivered.wire_lengths, (std::vector<std::uint32_t>{1514, 14})) << "on the wire, not as captured";
    ASSERT_TRUE(counts) << "the counts of the capture open when stopped";
    EXPECT_EQ(counts->received, scripted_counts.received);
    EXPECT_EQ(counts->dropped, scripted_counts.dropped);
    EXPECT_EQ(status.get().state, CaptureState::capturing);
    EXPECT_EQ(status.get().read_failures, 0u);
}

TEST(CaptureReceiver, AReadErrorIsReportedOnceAndTheDeviceOpenedAgainUntilItOpens) {
    // A device the receiver chose is chosen again (one that is gone leaves
    // another in its place); one the user named is the one opened again.
    for (const bool named : {false, true}) {
        ScriptedOpener opener;
        runtime::StopFlag stop;
        CaptureStatus status;
        // The first capture fails after one frame; two attempts to open again
        // fail; the third capture delivers a frame and fails at once; the
        // fourth delivers one more.
        opener.results.emplace_back(
            OpenedCapture{std::make_unique<ScriptedSource>(
                              raw_ipv4, std::deque<Step>{{ReadStatus::packet, {1}}, {ReadStatus::error}}, stop),
                          "eth7", std::nullopt});
        opener.results.emplace_back(OpenFailure{OpenFailure::Step::open, "still down"});
        opener.results.emplace_back(OpenFailure{OpenFailure::Step::device, "no capture device named 'eth7'"});
        opener.results.emplace_back(source(stop, raw_ipv4, {{ReadStatus::packet, {2}}, {ReadStatus::error}}));
        opener.results.emplace_back(source(stop, raw_ipv4, {{ReadStatus::packet, {3}}}));
        auto configured = setup();
        if (named) {
            configured.request.device = "eth7";
        }

        std::vector<std::uint64_t> failures_seen;
        std::vector<CaptureState> states_seen;
        run_capture_receiver(opener, configured, status, stop, [&](const CapturedDatagram& datagram) {
            failures_seen.push_back(status.get().read_failures);
            states_seen.push_back(status.get().state);
            EXPECT_EQ(datagram.bytes.size(), 1u);
        });

        EXPECT_EQ(failures_seen, (std::vector<std::uint64_t>{0, 1, 2})) << "one failure per change, not per attempt";
        EXPECT_EQ(states_seen, (std::vector<CaptureState>(3, CaptureState::capturing)));
        ASSERT_EQ(opener.requests.size(), 5u);
        for (const auto& request : opener.requests) {
            EXPECT_EQ(request.device, named ? std::optional<std::string>("eth7") : std::nullopt);
        }
        EXPECT_EQ(status.get().error, "");
    }
}

// A capture that times out until stopped, as a quiet device does.
std::deque<Step> quiet(std::size_t reads) { return std::deque<Step>(reads, Step{ReadStatus::timeout}); }

TEST(CaptureReceiver, AChosenDeviceMovesWhenTheNetworkOrThePathSourceChangesAndANamedOneStays) {
    const auto moved_address = packets::IpAddress(packets::Ipv4(0xC0A8020A));  // 192.168.2.10
    for (const bool named : {false, true}) {
        ScriptedOpener opener;
        runtime::StopFlag stop;
        CaptureStatus status;
        std::atomic<std::uint64_t> generation{0};
        std::optional<packets::IpAddress> path_source;
        std::mutex path_source_lock;
        opener.results.emplace_back(source(stop, raw_ipv4, quiet(3)));
        auto on_wlan = source(stop, raw_ipv4, {{ReadStatus::packet, {1}}, {ReadStatus::timeout}, {ReadStatus::timeout}});
        on_wlan.device = "wlan0";
        opener.results.emplace_back(std::move(on_wlan));
        auto on_cable = source(stop, raw_ipv4, {{ReadStatus::packet, {2}}});
        on_cable.device = "enx1";
        opener.results.emplace_back(std::move(on_cable));
        opener.choices = {"wlan0", "enx1"};
        auto configured = setup();
        if (named) {
            configured.request.device = "eth0";
        }
        configured.network.path_source = [&] {
            const std::lock_guard lock(path_source_lock);
            return path_source;
        };

        Delivered delivered;
        std::size_t reads = 0;
        // A change of the network after the first read of the first device,
        // then of the path's source after the first frame of the second.
        auto handle = delivered.handler();
        configured.network.generation = [&] {
            if (++reads == 2) {
                ++generation;
            }
            return generation.load();
        };
        run_capture_receiver(opener, configured, status, stop, [&](const CapturedDatagram& datagram) {
            handle(datagram);
            const std::lock_guard lock(path_source_lock);
            path_source = moved_address;
        });
        if (named) {
            EXPECT_EQ(opener.requests.size(), 1u) << "a device the user named is never left";
            EXPECT_TRUE(opener.choice_requests.empty());
            continue;
        }
        ASSERT_EQ(opener.requests.size(), 3u);
        EXPECT_EQ(opener.requests[1].device, "wlan0") << "moved to the device chosen after the network changed";
        EXPECT_EQ(opener.requests[2].device, "enx1") << "moved to the device that holds the path's new source";
        ASSERT_FALSE(opener.choice_requests.empty());
        EXPECT_EQ(opener.choice_requests.back().preferred_address, moved_address);
        EXPECT_EQ(delivered.datagrams, (std::vector<Bytes>{{1}, {2}}));
        EXPECT_EQ(status.get().read_failures, 0u) << "a move is no failure";
    }
}

TEST(CaptureReceiver, TheWaitToOpenAgainEndsWhenTheNetworkChanges) {
    ScriptedOpener opener;
    runtime::StopFlag stop;
    CaptureStatus status;
    std::atomic<std::uint64_t> generation{0};
    opener.results.emplace_back(source(stop, raw_ipv4, {{ReadStatus::error}}));
    opener.results.emplace_back(source(stop, raw_ipv4, {{ReadStatus::packet, {1}}}));
    auto waiting = setup();
    waiting.backoff = {std::chrono::hours(1), std::chrono::hours(1)};
    waiting.network.generation = [&generation] { return generation.load(); };
    std::thread changer([&generation, &status] {
        while (status.get().state != CaptureState::read_failed) {
            std::this_thread::yield();
        }
        ++generation;  // the device is back, or another carries the route
    });
    Delivered delivered;
    run_capture_receiver(opener, waiting, status, stop, delivered.handler());
    changer.join();
    EXPECT_EQ(opener.requests.size(), 2u) << "opened again at the change, not after the hour";
    EXPECT_EQ(delivered.datagrams, (std::vector<Bytes>{{1}}));
}

TEST(CaptureReceiver, AStopWhileWaitingToOpenAgainEndsTheReceiver) {
    ScriptedOpener opener;
    runtime::StopFlag stop;
    CaptureStatus status;
    opener.results.emplace_back(source(stop, raw_ipv4, {{ReadStatus::error}}));
    auto waiting = setup();
    waiting.backoff = {std::chrono::hours(1), std::chrono::hours(1)};
    std::thread stopper([&stop, &status] {
        while (status.get().state != CaptureState::read_failed) {
            std::this_thread::yield();
        }
        stop.raise();
    });
    const auto counts = run_capture_receiver(opener, waiting, status, stop, [](const CapturedDatagram&) {});
    stopper.join();
    EXPECT_FALSE(counts) << "no capture was open when stopped";
    EXPECT_EQ(opener.requests.size(), 1u) << "no attempt after the stop";
    EXPECT_EQ(status.get().state, CaptureState::read_failed);
    EXPECT_EQ(status.get().error, "interface went down");
}

}  // namespace
