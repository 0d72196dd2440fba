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
    std::optional<CaptureCounts> counts() const override { return capture_.counts(); }

private:
    Capture capture_;
};

std::variant<CaptureDevice, OpenFailure> named_device(const std::vector<CaptureDevice>& devices,
                                                      const std::string& name) {
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [&name](const CaptureDevice& device) { return device.name == name; });
    if (found == devices.end()) {
        return OpenFailure{OpenFailure::Step::device, log::fill_message("no capture device named '{}'", name)};
    }
    return *found;
}

std::variant<CaptureDevice, OpenFailure> chosen_device(const std::vector<CaptureDevice>& devices,
                                                       const CaptureRequest& request) {
    if (request.choice == DeviceChoice::traffic) {
        if (auto device = choose_traffic_device(devices, request.preferred_address)) {
            return std::move(*device);
        }
        return OpenFailure{OpenFailure::Step::device, "no suitable pcap device found"};
    }
    auto device = choose_capture_device(devices, request.log_target, request.preferred_address);
    if (auto* failure = std::get_if<std::string>(&device)) {
        return OpenFailure{OpenFailure::Step::device, std::move(*failure)};
    }
    return std::move(std::get<CaptureDevice>(device));
}

std::variant<CaptureDevice, OpenFailure> find_device(const CaptureRequest& request) {
    auto listed = list_capture_devices();
    if (auto* error = std::get_if<std::string>(&listed)) {
        return OpenFailure{OpenFailure::Step::device_list, std::move(*error)};
    }
    const auto& devices = std::get<std::vector<CaptureDevice>>(listed);
    return request.device ? named_device(devices, *request.device) : chosen_device(devices, request);
}

}  // namespace

std::variant<OpenedCapture, OpenFailure> LiveCaptureOpener::open(const CaptureRequest& request) const {
    auto device = find_device(request);
    if (auto* failure = std::get_if<OpenFailure>(&device)) {
        return std::move(*failure);
    }
    const CaptureDevice& chosen = std::get<CaptureDevice>(device);
    auto opened = open_capture(chosen, request.settings);
    if (auto* failure = std::get_if<std::string>(&opened)) {
        return OpenFailure{OpenFailure::Step::open, std::move(*failure), chosen.name};
    }
    Capture& capture = std::get<Capture>(opened);
    std::optional<std::string> filter_error = capture.install_filter(request.filter);
    if (filter_error && request.filter_required) {
        return OpenFailure{OpenFailure::Step::filter, std::move(*filter_error), chosen.name};
    }
    return OpenedCapture{std::make_unique<LivePacketSource>(std::move(capture)), chosen.name, std::move(filter_error)};
}

std::variant<std::string, OpenFailure> LiveCaptureOpener::choose(const CaptureRequest& request) const {
    auto device = find_device(request);
    if (auto* failure = std::get_if<OpenFailure>(&device)) {
        return std::move(*failure);
    }
    return std::move(std::get<CaptureDevice>(device).name);
}

}  // namespace tarnvale::capture
