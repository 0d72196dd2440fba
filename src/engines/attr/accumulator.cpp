#include "engines/attr/accumulator.hpp"

#include "capture/capture.hpp"
#include "log/log.hpp"

namespace tarnvale::engines::attr {

namespace {

constexpr auto target_log = log::target::attr;

// Headers up to the ports are all that is read. Frames come in batches: the
// kernel hands over a block of them when it fills or 100 ms after its first
// frame, one wake-up where immediate delivery had one per frame; a one-second
// report cycle needs nothing sooner. The timeout also lets the thread notice
// that its engine stopped.
const capture::CaptureSettings accumulator_capture_settings{false, 96, 100, false, std::nullopt};
// IPv6 frames whose TCP or UDP header follows extension headers are not
// "tcp or udp" to the filter, which reads only the fixed header's next-header
// field: every IPv6 frame but ICMPv6 comes, and the parser walks its chain.
constexpr const char* accumulator_filter = "tcp or udp or (ip6 and not icmp6)";

void log_capture_counts(const capture::Capture& capture, std::uint64_t counted) {
    if (const auto counts = capture.counts()) {
        log::info(target_log, "attr accumulator stopped",
                  {{"received", counts->received}, {"dropped", counts->dropped}, {"counted", counted}});
    }
}

}  // namespace

void run_accumulator(AccumulatorShared shared) {
    auto listed = capture::list_capture_devices();
    if (auto* failure = std::get_if<std::string>(&listed)) {
        log::error(target_log, "pcap device list failed in attr", {{"err", *failure}});
        return;
    }
    const auto device = capture::choose_traffic_device(std::get<std::vector<capture::CaptureDevice>>(listed));
    if (!device) {
        log::error(target_log, "attr: no suitable pcap device found");
        return;
    }
    log::info(target_log, "attr: selected capture device", {{"device", device->name}});
    auto opened = capture::open_capture(*device, accumulator_capture_settings);
    if (auto* failure = std::get_if<std::string>(&opened)) {
        log::error(target_log, "pcap open failed in attr accumulator", {{"err", *failure}});
        return;
    }
    capture::Capture& capture = std::get<capture::Capture>(opened);
    if (const auto failure = capture.install_filter(accumulator_filter)) {
        log::error(target_log, "BPF filter failed in attr accumulator", {{"err", *failure}});
    }
    // The header in front of IP as the device's link type has it: 14 bytes on
    // Ethernet, none on a raw IP tunnel.
    const std::size_t link_header = capture::link_header_length(capture.link_type());

    capture::CapturedFrame frame;
    std::uint64_t counted = 0;
    while (!shared.stop->raised()) {
        const auto status = capture.next(frame);
        if (status == capture::ReadStatus::timeout) {
            continue;
        }
        if (status == capture::ReadStatus::error) {
            log::error(target_log, "pcap error in attr accumulator", {{"err", capture.error_text()}});
            return;
        }
        counted += account_frame(frame.bytes, frame.wire_length, link_header, *shared.local, *shared.flows) ? 1 : 0;
    }
    log_capture_counts(capture, counted);
}

}  // namespace tarnvale::engines::attr
