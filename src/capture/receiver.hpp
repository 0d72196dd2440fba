#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/capture.hpp"
#include "capture/packet_source.hpp"
#include "runtime/stop_flag.hpp"

// The receiver thread every engine runs: it opens the capture, strips the link
// header of each frame and hands the datagram to the engine's matching, reports
// its state, and opens the capture again when reading fails.
namespace tarnvale::capture {

enum class CaptureState {
    starting,
    capturing,
    open_failed,  // the first opening failed: the receiver has ended
    read_failed,  // reading failed: the receiver is opening the capture again
};

// The receiver's state, for the engine task to report. The thread holds no
// queue or other object of the asynchronous runtime, so that it may end after
// the runtime without touching it.
class CaptureStatus {
public:
    struct Snapshot {
        CaptureState state = CaptureState::starting;
        std::string error;                // of the last failure
        std::uint64_t read_failures = 0;  // so far: each is one change to report
    };

    void set(CaptureState state, std::string error = {});
    Snapshot get() const;

private:
    mutable std::mutex lock_;
    Snapshot snapshot_;
};

// The log lines of an engine that words its own choice of device. Without them
// a failed choice is "device pick failed: {}" with the failure's text, and the
// choice names its device itself.
struct DeviceChoiceLines {
    std::string_view list_failed;  // with field `err`
    std::string_view none_found;   // no device chosen from the list
    std::string_view chosen;       // with field `device`
};

// The receiver's log lines, as each engine words them (all with field `err`
// but the link type's, which has `datalink`).
struct CaptureLogLines {
    std::string_view open_failed;
    std::string_view filter_failed;
    std::string_view link_type;
    std::string_view read_failed;
    std::optional<DeviceChoiceLines> device_choice = std::nullopt;
};

// After a read error the capture is opened again, first after `first`, then
// after twice as long each time it cannot be, up to `longest`.
struct ReopenBackoff {
    std::chrono::milliseconds first{std::chrono::seconds(1)};
    std::chrono::milliseconds longest{std::chrono::seconds(30)};
};

// How a receiver follows the host's network when it chose its device itself:
// it chooses again when the network has changed or the address the engine's
// packets leave from has, and moves when another device is the choice now.
struct NetworkFollowing {
    // Counts the host's settled network changes; empty: the network is fixed.
    std::function<std::uint64_t()> generation;
    // The address the engine's traffic leaves from now (a path engine's
    // source, the default route's for attribution); empty or none: no preference.
    std::function<std::optional<packets::IpAddress>()> path_source;
};

// An engine's way of capturing; the device comes from the engine's configuration.
struct ReceiverSetup {
    CaptureRequest request;
    CaptureLogLines lines;
    ReopenBackoff backoff = {};
    NetworkFollowing network = {};
};

struct CapturedDatagram {
    std::span<const std::uint8_t> bytes;  // the frame without its link header
    std::size_t frame_length;             // as captured
    std::uint32_t wire_length;            // the frame's whole length on the wire
    int link_type;
    std::chrono::system_clock::time_point captured_at;  // the kernel's time stamp

    // When the kernel captured it, on the steady clock (see steady_arrival):
    // taken on demand, as two clock reads a frame are a third of what counting
    // traffic costs, and only the engines that time answers need it.
    std::chrono::steady_clock::time_point arrival() const { return steady_arrival(captured_at); }
};

using DatagramHandler = std::function<void(const CapturedDatagram&)>;

// Runs on the receiver's thread until `stop` is raised or the capture cannot be
// opened at first, handing every datagram to `handle`. After a read error it
// opens the capture again (a device it chose itself, as chosen now), and it
// moves to another device as NetworkFollowing says. Logs each change of
// state once (not each attempt to open again) under the request's log target.
// The counts of the capture open when stopped; nothing when none was open or
// the capture keeps none.
std::optional<CaptureCounts> run_capture_receiver(const CaptureOpener& opener, const ReceiverSetup& setup,
                                                  CaptureStatus& status, runtime::StopFlag& stop,
                                                  const DatagramHandler& handle);

// What an engine gives its receiver thread to capture with.
struct ReceiverCapture {
    std::shared_ptr<const CaptureOpener> opener;
    std::optional<std::string> device;  // by name; chosen from the device list when unset
    std::shared_ptr<CaptureStatus> status;
    NetworkFollowing network = {};
};

}  // namespace tarnvale::capture
