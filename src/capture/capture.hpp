#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "capture/link_header.hpp"
#include "packets/ip_address.hpp"
#include "packets/ipv4.hpp"

namespace tarnvale::platform {
struct CaptureLibrary;
}

// Live packet capture over the capture library: choosing a device, opening it
// with an engine's settings, reading packets, and finding the IPv4 header.
namespace tarnvale::capture {

struct CaptureDevice {
    std::string name;
    std::optional<std::string> description;
    std::vector<packets::Ipv4> ipv4_addresses;  // in the device's order
    std::vector<packets::IpAddress> ipv6_addresses = {};  // likewise
};

struct CaptureSettings {
    bool promiscuous = false;
    int snapshot_length = 256;
    std::optional<int> read_timeout_ms;
    bool immediate = false;
    std::optional<int> buffer_bytes;  // the kernel's buffer; the library's default (2 MB on Linux) if unset
};

// The capture library's device list, or its error text.
std::variant<std::vector<CaptureDevice>, std::string> list_capture_devices();

// Neither loopback nor link-local nor unspecified.
bool is_usable_address(packets::Ipv4 address);

// A global unicast IPv6 address (2000::/3): what a host that reaches the
// internet over IPv6 has.
bool is_global_ipv6(const packets::IpAddress& address);

// The device the receivers capture on: the one that holds `preferred` (the
// address a path engine's packets leave from) when one does; else the first
// whose lower-cased name holds
// none of the exclusion words and which has a usable IPv4 address; failing that,
// the first such device with a global IPv6 address (a host without IPv4); failing
// that, the first whose name lacks "loopback". Logs the inventory and the choice
// under `log_target`. The error text when there is none.
std::variant<CaptureDevice, std::string> choose_capture_device(
    const std::vector<CaptureDevice>& devices, std::string_view log_target,
    const std::optional<packets::IpAddress>& preferred = std::nullopt);

enum class ReadStatus { packet, timeout, error };

struct CapturedFrame {
    std::span<const std::uint8_t> bytes;  // as captured, at most the snapshot length
    std::uint32_t wire_length = 0;        // the frame's whole length on the wire
    std::chrono::system_clock::time_point captured_at;  // the kernel's time stamp
};

// When the kernel captured the frame, on the steady clock: its age by the
// system clock taken from the steady clock's now. A receiver that wakes late,
// or takes several frames at once, still gets each frame's own arrival. An age
// below zero or above a second (the system clock was set meanwhile) counts as 0.
std::chrono::steady_clock::time_point steady_arrival(std::chrono::system_clock::time_point captured_at);

struct CaptureCounts {
    std::uint64_t received = 0;
    std::uint64_t dropped = 0;  // by the kernel, for want of buffer room
};

// The words that rule a device out of the attribution engine's choice.
inline constexpr std::array<std::string_view, 5> traffic_exclusion_words = {"hyper-v", "virtual", "loopback",
                                                                            "vmware", "tap-"};

// The device the attribution engine counts traffic on: the one that holds
// `preferred` (the address the host's default route sends from) when one
// does; else the first whose
// lower-cased description holds none of the exclusion words and which has an
// IPv4 address outside loopback, link-local, 0.0.0.0 and 172.16.0.0/12;
// failing that, the first such device with a global IPv6 address (a host
// without IPv4). No fallback.
std::optional<CaptureDevice> choose_traffic_device(const std::vector<CaptureDevice>& devices,
                                                   const std::optional<packets::IpAddress>& preferred = std::nullopt);

// An activated capture handle, closed when destroyed.
class Capture {
public:
    Capture(Capture&& other) noexcept;
    Capture& operator=(Capture&&) = delete;
    Capture(const Capture&) = delete;
    ~Capture();

    int link_type() const;

    // Compiles and installs a filter; the library's error text on failure.
    std::optional<std::string> install_filter(const std::string& filter);

    // The next frame, its bytes valid until the next call. With a read timeout,
    // waits at most that long for one.
    ReadStatus next(CapturedFrame& frame);

    // The library's counts since the capture was opened; nothing if it has none.
    std::optional<CaptureCounts> counts() const;

    // The library's text for the last error.
    std::string error_text() const;

private:
    friend std::variant<Capture, std::string> open_capture(const CaptureDevice&, const CaptureSettings&);
    Capture(const platform::CaptureLibrary* library, void* handle) : library_(library), handle_(handle) {}
    const platform::CaptureLibrary* library_;
    void* handle_;
    int wait_timeout_ms_ = 0;
};

// Creates, configures and activates a capture on the device.
std::variant<Capture, std::string> open_capture(const CaptureDevice& device, const CaptureSettings& settings);

}  // namespace tarnvale::capture
