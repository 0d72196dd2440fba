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

// What the receiver last chose its device by.
struct ChoiceBasis {
    std::uint64_t generation = 0;
    std::optional<packets::IpAddress> path_source;

    static ChoiceBasis now(const NetworkFollowing& network) {
        return {network.generation ? network.generation() : 0,
                network.path_source ? network.path_source() : std::nullopt};
    }
    bool operator==(const ChoiceBasis&) const = default;
};

// How often at least a receiver looks whether its choice of device still stands.
constexpr unsigned frames_between_looks = 1024;

struct ReadEnd {
    enum class Kind { stopped, failed, choice_due } kind;
    std::string error = {};  // of a failure
};

// Reads and hands over datagrams until the source fails, `stop` is raised, or
// (for a device the receiver chose) what it chose by has changed.
ReadEnd read_until_change(PacketSource& source, runtime::StopFlag& stop, const DatagramHandler& handle,
                          const ReceiverSetup& setup, const ChoiceBasis& chosen_by) {
    const int link_type = source.link_type();
    const std::size_t link_header = link_header_length(link_type);
    const bool follows = !setup.request.device;
    CapturedFrame frame;
    unsigned frames = 0;
    while (!stop.raised()) {
        const ReadStatus status = source.next(frame);
        if (status == ReadStatus::error) {
            return {ReadEnd::Kind::failed, source.error_text()};
        }
        if (follows && (status == ReadStatus::timeout || ++frames % frames_between_looks == 0) &&
            ChoiceBasis::now(setup.network) != chosen_by) {
            return {ReadEnd::Kind::choice_due};
        }
        if (status == ReadStatus::timeout || frame.bytes.size() < link_header) {
            continue;
        }
        handle({frame.bytes.subspan(link_header), frame.bytes.size(), frame.wire_length, link_type,
                frame.captured_at});
    }
    return {ReadEnd::Kind::stopped};
}

// The request as the receiver would make it now: the configured device, or a
// choice that prefers the path's source address.
CaptureRequest request_now(const ReceiverSetup& setup, const ChoiceBasis& basis) {
    CaptureRequest request = setup.request;
    request.preferred_address = basis.path_source;
    return request;
}

// Waits `wait` unless stopped first (true) or, for a device the receiver
// chose, what it chooses by changes (the host's network came back).
bool wait_for_reopen(runtime::StopFlag& stop, std::chrono::milliseconds wait, const ReceiverSetup& setup,
                     const ChoiceBasis& basis) {
    constexpr std::chrono::milliseconds step{200};
    const auto until = std::chrono::steady_clock::now() + wait;
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
        if (stop.sleep_for(std::min<std::chrono::nanoseconds>(step, until - now))) {
            return true;
        }
        if (!setup.request.device && ChoiceBasis::now(setup.network) != basis) {
            return false;
        }
    }
    return false;
}

// Opens the capture again, waiting longer after each failure; nothing when stopped first.
// A device the user named is the one opened again; one the receiver chose is
// chosen again, as a device that is gone leaves another in its place.
// `basis` is what the capture opened was chosen by.
std::optional<OpenedCapture> reopen(const CaptureOpener& opener, const ReceiverSetup& setup, runtime::StopFlag& stop,
                                    ChoiceBasis& basis) {
    for (auto wait = setup.backoff.first;; wait = std::min(wait * 2, setup.backoff.longest)) {
        if (wait_for_reopen(stop, wait, setup, ChoiceBasis::now(setup.network))) {
            return std::nullopt;
        }
        basis = ChoiceBasis::now(setup.network);
        auto opened = opener.open(request_now(setup, basis));
        if (auto* capture = std::get_if<OpenedCapture>(&opened)) {
            return std::move(*capture);
        }
    }
}

// Moves to the device chosen now when it is another one; the capture as it
// was when there is none, or it cannot be opened.
void follow_choice(const CaptureOpener& opener, const ReceiverSetup& setup, const ChoiceBasis& basis,
                   OpenedCapture& opened) {
    const CaptureRequest request = request_now(setup, basis);
    auto chosen = opener.choose(request);
    const auto* device = std::get_if<std::string>(&chosen);
    if (device == nullptr || *device == opened.device) {
        return;
    }
    CaptureRequest on_device = request;
    on_device.device = *device;
    auto moved = opener.open(on_device);
    if (auto* failure = std::get_if<OpenFailure>(&moved)) {
        log::warn(setup.request.log_target, "capture stays on its device: the device chosen now cannot be opened",
                  {{"device", opened.device}, {"chosen", *device}, {"err", failure->error}});
        return;
    }
    log::info(setup.request.log_target, "capture moved to another device",
              {{"from", opened.device}, {"to", *device}});
    opened = std::move(std::get<OpenedCapture>(moved));
}

}  // namespace

std::optional<CaptureCounts> run_capture_receiver(const CaptureOpener& opener, const ReceiverSetup& setup,
                                                  CaptureStatus& status, runtime::StopFlag& stop,
                                                  const DatagramHandler& handle) {
    const std::string_view target = setup.request.log_target;
    ChoiceBasis basis = ChoiceBasis::now(setup.network);
    auto first = opener.open(request_now(setup, basis));
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
        auto end = read_until_change(*opened.source, stop, handle, setup, basis);
        if (end.kind == ReadEnd::Kind::stopped) {
            return opened.source->counts();
        }
        if (end.kind == ReadEnd::Kind::choice_due) {
            basis = ChoiceBasis::now(setup.network);
            follow_choice(opener, setup, basis, opened);
            continue;
        }
        log::error(target, setup.lines.read_failed, {{"err", end.error}});
        status.set(CaptureState::read_failed, std::move(end.error));
        opened.source.reset();  // closed while waiting to open it again
        auto reopened = reopen(opener, setup, stop, basis);
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
