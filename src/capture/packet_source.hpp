#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "capture/capture.hpp"

// Where a receiver's captured frames come from: the capture library's live
// captures, or in tests scripted ones, behind one small interface.
namespace tarnvale::capture {

// An open capture as a receiver reads it.
class PacketSource {
public:
    virtual ~PacketSource() = default;
    virtual int link_type() const = 0;
    // The next frame, its bytes valid until the next call; waits at most the read timeout for one.
    virtual ReadStatus next(CapturedFrame& frame) = 0;
    // The text of the last read error.
    virtual std::string error_text() const = 0;
    // The frames received and dropped since the capture was opened; nothing if they are not kept.
    virtual std::optional<CaptureCounts> counts() const = 0;
};

// How a device is chosen when the request names none.
enum class DeviceChoice {
    path,     // the path engines': choose_capture_device
    traffic,  // the attribution engine's: choose_traffic_device, with no fallback
};

// What a receiver asks to capture.
struct CaptureRequest {
    std::optional<std::string> device;  // by name; chosen from the device list when unset
    CaptureSettings settings;
    std::string filter;
    bool filter_required;         // when false, a filter that cannot be installed leaves the capture unfiltered
    std::string_view log_target;  // for the device inventory of a choice
    DeviceChoice choice = DeviceChoice::path;
    // A choice prefers the device that holds this address: a path engine's
    // source, the attribution engine's default route's.
    std::optional<packets::IpAddress> preferred_address = std::nullopt;
};

struct OpenFailure {
    enum class Step {
        device_list,  // the library could not list the devices: `error` is its text
        device,       // no device chosen, or none of the name
        open,
        filter,
    };
    Step step;
    std::string error;
    std::string device = {};  // the device it failed on, for the open and filter steps
};

struct OpenedCapture {
    std::unique_ptr<PacketSource> source;
    std::string device;                       // its name, to open the same device again
    std::optional<std::string> filter_error;  // why an optional filter is not installed
};

class CaptureOpener {
public:
    virtual ~CaptureOpener() = default;
    virtual std::variant<OpenedCapture, OpenFailure> open(const CaptureRequest& request) const = 0;
    // The name of the device `open` would open now, without opening it.
    virtual std::variant<std::string, OpenFailure> choose(const CaptureRequest& request) const = 0;
};

// Opens live captures through the capture library. A named device must be in
// the library's device list.
class LiveCaptureOpener final : public CaptureOpener {
public:
    std::variant<OpenedCapture, OpenFailure> open(const CaptureRequest& request) const override;
    std::variant<std::string, OpenFailure> choose(const CaptureRequest& request) const override;
};

}  // namespace tarnvale::capture
