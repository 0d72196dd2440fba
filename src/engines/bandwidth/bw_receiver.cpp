#include "engines/bandwidth/bw_receiver.hpp"

#include "capture/capture.hpp"
#include "engines/bandwidth/answer_parser.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"

namespace tarnvale::engines::bandwidth {

namespace {

// Answers come as they arrive (their spacing is the measurement); ten per train
// need little room.
const capture::CaptureSettings bandwidth_capture_settings{false, 512, 100, true, 256 * 1024};
// Time Exceeded and Destination Unreachable, over IPv4 or IPv6 as the target's family is.
constexpr const char* bandwidth_filter = "icmp and (icmp[0] = 11 or icmp[0] = 3)";
constexpr const char* bandwidth_filter_ipv6 = "icmp6 and (ip6[40] = 3 or ip6[40] = 1)";
constexpr auto target_log = log::target::bandwidth;

// The receiver's log line for each step of reading an answer.
class LoggedSteps : public AnswerSteps {
public:
    explicit LoggedSteps(const packets::IpAddress& target) : target_(target) {}

    void outer_header_unreadable(std::size_t length) override {
        log::info(target_log, log::fill_message("bw: outer_ip parse fail, len={}", length));
    }
    void outer_header(const packets::IpAddress& source, std::uint8_t protocol) override {
        log::info(target_log, "bw: outer IP", {{"src", packets::to_text(source)}, {"proto", protocol}});
    }
    void icmp_type(std::uint8_t type) override { log::info(target_log, "bw: icmp type", {{"icmp_type", type}}); }
    void time_exceeded(std::size_t payload_length) override {
        log::info(target_log, log::fill_message("bw: TimeExceeded received, payload_len={}", payload_length));
    }
    void quoted_header(const packets::IpAddress& destination, std::uint8_t protocol) override {
        log::info(target_log, "bw: inner IP check",
                  {{"inner_dst", packets::to_text(destination)}, {"target", packets::to_text(target_)},
                   {"proto", protocol}});
    }
    void destination_mismatch() override { log::info(target_log, "bw: dst mismatch"); }
    void quoted_transport(std::size_t header_length, std::size_t transport_length,
                          std::size_t payload_length) override {
        log::info(target_log, "bw: inner transport",
                  {{"inner_ihl", header_length}, {"inner_transport_len", transport_length},
                   {"te_payload_len", payload_length}});
    }
    void quoted_transport_too_short() override { log::info(target_log, "bw: inner_transport too short"); }
    void quoted_ports(std::uint16_t destination, std::uint16_t source) override {
        log::info(target_log, "bw: UDP ports",
                  {{"dst_port", destination}, {"src_port_inner", source}, {"base", train_base_port}});
    }

private:
    packets::IpAddress target_;
};

}  // namespace

void handle_answer(const BandwidthReceiverShared& shared, std::span<const std::uint8_t> datagram, Instant arrival) {
    LoggedSteps steps(shared.target);
    const auto answer = parse_train_answer(datagram, shared.target, shared.source_port, steps);
    if (!answer) {
        return;
    }
    shared.distance->answered(answer->hop, answer->from_target);
    if (answer->from_target) {
        return;
    }
    const auto train = shared.trains->newest_train_of(answer->hop);
    if (!train) {
        return;
    }
    log::info(target_log, "bw: hop matched to train",
              {{"dst_port", answer->destination_port}, {"hop_from_port", answer->hop}, {"train_id", *train},
               {"_packet_idx", answer->packet_index}});
    if (const auto arrivals = shared.trains->add_arrival(*train, arrival)) {
        if (const auto sample = spacing_sample(*arrivals)) {
            shared.samples->add(answer->hop, *sample);
        }
    }
}

void run_bandwidth_receiver(BandwidthReceiverShared shared) {
    auto device = capture::select_capture_device(target_log);
    if (auto* failure = std::get_if<std::string>(&device)) {
        log::error(target_log, log::fill_message("device pick failed: {}", *failure));
        return;
    }
    auto opened = capture::open_capture(std::get<capture::CaptureDevice>(device), bandwidth_capture_settings);
    if (auto* failure = std::get_if<std::string>(&opened)) {
        log::error(target_log, "pcap open failed in bandwidth engine", {{"err", *failure}});
        return;
    }
    capture::Capture& capture = std::get<capture::Capture>(opened);
    if (const auto failure = capture.install_filter(shared.target.is_v4() ? bandwidth_filter : bandwidth_filter_ipv6)) {
        log::error(target_log, "BPF filter failed in bandwidth engine", {{"err", *failure}});
        return;
    }
    const int link_type = capture.link_type();
    log::info(target_log, "bw: capture datalink type", {{"datalink", link_type}});
    const std::size_t link_header = capture::link_header_length(link_type);
    capture::CapturedFrame frame;
    while (!shared.stop->raised()) {
        const auto status = capture.next(frame);
        const std::span<const std::uint8_t> packet = frame.bytes;
        if (status == capture::ReadStatus::timeout) {
            continue;
        }
        if (status == capture::ReadStatus::error) {
            log::error(target_log, "pcap error in bandwidth receiver", {{"err", capture.error_text()}});
            return;
        }
        log::info(target_log, "bw pcap packet", {{"len", packet.size()}});
        if (packet.size() < link_header) {
            continue;
        }
        const auto datagram = packet.subspan(link_header);
        log::info(target_log, "bw: parsed datalink", {{"datalink", link_type}, {"ip_data_len", datagram.size()}});
        handle_answer(shared, datagram, capture::steady_arrival(frame));
    }
}

}  // namespace tarnvale::engines::bandwidth
