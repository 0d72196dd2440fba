#include "capture/packet_source.hpp"

#include <algorithm>

#include "log/fill.hpp"

namespace tarnvale::capture {

namespace {

class LivePacketSource final : public PacketSource {
public:
    explicit LivePacketSource(Capture capture) : capture_(std::move(capture)) {}

    int link_type() const override { return capture_.link_type(); }
    ReadStatus next(CapturedFrame& frame) override { return capture_.next(frame); }
    std::string error_text() const override { return capture_.error_text(); }

private:
    Capture capture_;
};

std::variant<CaptureDevice, std::string> find_named_device(const std::string& name) {
    auto listed = list_capture_devices();
    if (auto* error = std::get_if<std::string>(&listed)) {
        return log::fill_message("pcap device list failed: {}", *error);
    }
    const auto& devices = std::get<std::vector<CaptureDevice>>(listed);
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [&name](const CaptureDevice& device) { return device.name == name; });
    if (found == devices.end()) {
        return log::fill_message("no capture device named '{}'", name);
    }
    return *found;
}

}  // namespace

std::variant<OpenedCapture, OpenFailure> LiveCaptureOpener::open(const CaptureRequest& request) const {
    auto device = request.device ? find_named_device(*request.device) : select_capture_device(request.log_target);
    if (auto* failure = std::get_if<std::string>(&device)) {
        return OpenFailure{OpenFailure::Step::device, std::move(*failure)};
    }
    const CaptureDevice& chosen = std::get<CaptureDevice>(device);
    auto opened = open_capture(chosen, request.settings);
    if (auto* failure = std::get_if<std::string>(&opened)) {
        return OpenFailure{OpenFailure::Step::open, std::move(*failure)};
    }
    Capture& capture = std::get<Capture>(opened);
    std::optional<std::string> filter_error = capture.install_filter(request.filter);
    if (filter_error && request.filter_required) {
        return OpenFailure{OpenFailure::Step::filter, std::move(*filter_error)};
    }
    return OpenedCapture{std::make_unique<LivePacketSource>(std::move(capture)), chosen.name, std::move(filter_error)};
}

}  // namespace tarnvale::capture
