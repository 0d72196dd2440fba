#include "capture/receiver.hpp"

#include <algorithm>

#include "log/fill.hpp"
#include "log/log.hpp"

namespace tarnvale::capture {

void CaptureStatus::set(CaptureState state, std::string error) {
    const std::lock_guard lock(lock_);
    snapshot_.state = state;
    snapshot_.error = std::move(error);
    if (state == CaptureState::read_failed) {
        ++snapshot_.read_failures;
    }
}

CaptureStatus::Snapshot CaptureStatus::get() const {
    const std::lock_guard lock(lock_);
    return snapshot_;
}

namespace {

// What the engine tells the client of a failure.
std::string failure_text(const OpenFailure& failure) {
    if (failure.step == OpenFailure::Step::device_list) {
        return log::fill_message("pcap device list failed: {}", failure.error);
    }
    return failure.error;
}

void log_device_failure(const ReceiverSetup& setup, const OpenFailure& failure) {
    const std::string_view target = setup.request.log_target;
    const auto& own = setup.lines.device_choice;
    if (own && failure.step == OpenFailure::Step::device_list) {
        log::error(target, own->list_failed, {{"err", failure.error}});
    } else if (own && !setup.request.device) {
        log::error(target, own->none_found);
    } else {
        log::error(target, log::fill_message("device pick failed: {}", failure_text(failure)));
    }
}

void log_open_failure(const ReceiverSetup& setup, const OpenFailure& failure) {
    const std::string_view target = setup.request.log_target;
    switch (failure.step) {
        case OpenFailure::Step::device_list:
        case OpenFailure::Step::device:
            log_device_failure(setup, failure);
            break;
        case OpenFailure::Step::open:
            log::error(target, setup.lines.open_failed, {{"err", failure.error}});
            break;
        case OpenFailure::Step::filter:
            log::error(target, setup.lines.filter_failed, {{"err", failure.error}});
            break;
    }
}

// The device the first opening settled on, for an engine that names its own choice.
void log_device_chosen(const ReceiverSetup& setup, const std::string& device) {
    if (setup.lines.device_choice && !device.empty()) {
        log::info(setup.request.log_target, setup.lines.device_choice->chosen, {{"device", device}});
    }
}

// Reads and hands over datagrams until the source fails (its error text) or `stop` is raised (nothing).
std::optional<std::string> read_until_failure(PacketSource& source, runtime::StopFlag& stop,
                                              const DatagramHandler& handle) {
    const int link_type = source.link_type();
    const std::size_t link_header = link_header_length(link_type);
    CapturedFrame frame;
    while (!stop.raised()) {
        const ReadStatus status = source.next(frame);
        if (status == ReadStatus::error) {
            return source.error_text();
        }
        if (status == ReadStatus::timeout || frame.bytes.size() < link_header) {
            continue;
        }
        handle({frame.bytes.subspan(link_header), frame.bytes.size(), frame.wire_length, link_type,
                frame.captured_at});
    }
    return std::nullopt;
}

// Opens the device again, waiting longer after each failure; nothing when stopped first.
std::optional<OpenedCapture> reopen(const CaptureOpener& opener, CaptureRequest request, const ReopenBackoff& backoff,
                                    runtime::StopFlag& stop) {
    for (auto wait = backoff.first;; wait = std::min(wait * 2, backoff.longest)) {
        if (stop.sleep_for(wait)) {
            return std::nullopt;
        }
        auto opened = opener.open(request);
        if (auto* capture = std::get_if<OpenedCapture>(&opened)) {
            return std::move(*capture);
        }
    }
}

}  // namespace

std::optional<CaptureCounts> run_capture_receiver(const CaptureOpener& opener, const ReceiverSetup& setup,
                                                  CaptureStatus& status, runtime::StopFlag& stop,
                                                  const DatagramHandler& handle) {
    const std::string_view target = setup.request.log_target;
    auto first = opener.open(setup.request);
    if (auto* failure = std::get_if<OpenFailure>(&first)) {
        log_device_chosen(setup, failure->device);
        log_open_failure(setup, *failure);
        status.set(CaptureState::open_failed, failure_text(*failure));
        return std::nullopt;
    }
    OpenedCapture opened = std::move(std::get<OpenedCapture>(first));
    log_device_chosen(setup, opened.device);
    if (opened.filter_error) {
        log::error(target, setup.lines.filter_failed, {{"err", *opened.filter_error}});
    }
    log::info(target, setup.lines.link_type, {{"datalink", opened.source->link_type()}});
    status.set(CaptureState::capturing);
    for (;;) {
        auto error = read_until_failure(*opened.source, stop, handle);
        if (!error) {
            return opened.source->counts();
        }
        log::error(target, setup.lines.read_failed, {{"err", *error}});
        status.set(CaptureState::read_failed, std::move(*error));
        opened.source.reset();  // closed while waiting to open it again
        CaptureRequest same_device = setup.request;
        same_device.device = opened.device;
        auto reopened = reopen(opener, std::move(same_device), setup.backoff, stop);
        if (!reopened) {
            return std::nullopt;
        }
        opened = std::move(*reopened);
        log::info(target, "capture reopened",
                  {{"device", opened.device},
                   {"datalink", opened.source->link_type()},
                   {"filtered", !opened.filter_error.has_value()}});
        status.set(CaptureState::capturing);
    }
}

}  // namespace tarnvale::capture
