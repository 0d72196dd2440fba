#include "engines/hop/receiver.hpp"

#include <chrono>

#include "capture/capture.hpp"
#include "engines/hop/reply_parser.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"

namespace tarnvale::engines::hop {

namespace {

// Immediate mode delivers each reply as it comes; the read timeout lets the
// thread notice that it is to stop. A few replies a second need little room.
const capture::CaptureSettings hop_capture_settings{false, 256, 200, true, 256 * 1024};
// Time Exceeded and Destination Unreachable, over IPv4 or IPv6 as the target's family is.
constexpr const char* hop_filter = "icmp and (icmp[0] = 11 or icmp[0] = 3)";
constexpr const char* hop_filter_ipv6 = "icmp6 and (ip6[40] = 3 or ip6[40] = 1)";

void handle_reply(const ReceiverShared& shared, const ProbeReply& reply, std::chrono::steady_clock::time_point now) {
    const auto probe = settle_answered(*shared.pending, *shared.table, reply.probe_id, reply.source, now);
    if (!probe) {
        return;  // never sent, already answered or already counted as lost
    }
    if (probe->in_table) {
        shared.delays->record(probe->ttl, now, probe->rtt_ms);
        shared.sightings->try_push(HopSighting{probe->ttl, reply.source});
    }
    log::info(log::target::hop, "probe reply received",
              {{"seq", reply.probe_id}, {"ttl", probe->ttl}, {"rtt_ms", probe->rtt_ms},
               {"src", packets::to_text(reply.source)}});
}

}  // namespace

void handle_datagram(const ReceiverShared& shared, std::span<const std::uint8_t> datagram,
                     std::chrono::steady_clock::time_point arrival) {
    const ParsedReply parsed = parse_probe_reply(datagram, shared.target);
    if (parsed.time_exceeded_from) {
        log::info(log::target::hop, "TimeExceeded received", {{"src", packets::to_text(*parsed.time_exceeded_from)}});
    }
    if (parsed.reply) {
        handle_reply(shared, *parsed.reply, arrival);
    }
}

void run_receiver(ReceiverShared shared) {
    auto device = capture::select_capture_device(log::target::hop);
    if (auto* failure = std::get_if<std::string>(&device)) {
        log::error(log::target::hop, log::fill_message("device pick failed: {}", *failure));
        shared.status->set(CaptureStatus::State::no_device);
        return;
    }
    auto opened = capture::open_capture(std::get<capture::CaptureDevice>(device), hop_capture_settings);
    if (auto* failure = std::get_if<std::string>(&opened)) {
        log::error(log::target::hop, "pcap open failed", {{"err", *failure}});
        shared.status->set(CaptureStatus::State::open_failed, *failure);
        return;
    }
    capture::Capture& capture = std::get<capture::Capture>(opened);
    const int link_type = capture.link_type();
    log::info(log::target::hop, "pcap datalink type", {{"datalink", link_type}});
    if (const auto failure = capture.install_filter(shared.target.is_v4() ? hop_filter : hop_filter_ipv6)) {
        log::error(log::target::hop, "BPF filter compile failed", {{"err", *failure}});
    }
    const std::size_t link_header = capture::link_header_length(link_type);
    shared.status->set(CaptureStatus::State::capturing);

    capture::CapturedFrame frame;
    while (!shared.stop->raised()) {
        const auto status = capture.next(frame);
        const std::span<const std::uint8_t> packet = frame.bytes;
        if (status == capture::ReadStatus::timeout) {
            continue;
        }
        if (status == capture::ReadStatus::error) {
            log::error(log::target::hop, "pcap next_packet error", {{"err", capture.error_text()}});
            return;
        }
        if (packet.size() < link_header) {
            continue;
        }
        handle_datagram(shared, packet.subspan(link_header), capture::steady_arrival(frame));
    }
}

}  // namespace tarnvale::engines::hop
