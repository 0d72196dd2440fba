#include "engines/bandwidth/bw_receiver.hpp"

#include "engines/bandwidth/answer_parser.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"

namespace tarnvale::engines::bandwidth {

namespace {

constexpr auto target_log = log::target::bandwidth;

// Answers come as they arrive (their spacing is the measurement); ten per train
// need little room. Time Exceeded and Destination Unreachable, over IPv4 or
// IPv6 as the target's family is: unfiltered, every packet would be logged.
capture::ReceiverSetup bandwidth_capture_setup(const packets::IpAddress& target) {
    return {{std::nullopt,
             {false, 512, 100, true, 256 * 1024},
             target.is_v4() ? "icmp and (icmp[0] = 11 or icmp[0] = 3)" : "icmp6 and (ip6[40] = 3 or ip6[40] = 1)",
             true,
             target_log},
            {"pcap open failed in bandwidth engine", "BPF filter failed in bandwidth engine",
             "bw: capture datalink type", "pcap error in bandwidth receiver"}};
}

// The receiver's log line for each step of reading an answer, as far as the
// answer goes towards a train's.
void log_reading(const packets::ReceivedIcmp& received, const packets::IpAddress& target) {
    log::info(target_log, "bw: outer IP", {{"src", packets::to_text(received.source)}, {"proto", received.protocol}});
    if (!received.icmp) {
        return;
    }
    const packets::IcmpMessage& icmp = *received.icmp;
    log::info(target_log, "bw: icmp type", {{"icmp_type", icmp.type}});
    if (icmp.kind == packets::IcmpErrorKind::time_exceeded) {
        const std::size_t payload_length = icmp.length - 4;  // after type, code and checksum
        log::info(target_log, log::fill_message("bw: TimeExceeded received, payload_len={}", payload_length));
    } else if (!is_target_unreachable(received, target)) {
        return;
    }
    if (!icmp.quoted) {
        return;
    }
    const packets::QuotedDatagram& quoted = *icmp.quoted;
    log::info(target_log, "bw: inner IP check",
              {{"inner_dst", packets::to_text(quoted.destination)},
               {"target", packets::to_text(target)},
               {"proto", quoted.protocol}});
    if (quoted.destination != target) {
        log::info(target_log, "bw: dst mismatch");
        return;
    }
    log::info(target_log, "bw: inner transport",
              {{"inner_ihl", quoted.header_length},
               {"inner_transport_len", quoted.transport.size()},
               {"te_payload_len", icmp.length - packets::IcmpView::header_length}});
    if (quoted.transport.size() < packets::udp_header_length) {
        log::info(target_log, "bw: inner_transport too short");
        return;
    }
    const auto ports = packets::TransportPorts::read(quoted.transport);
    log::info(target_log, "bw: UDP ports",
              {{"dst_port", ports->destination}, {"src_port_inner", ports->source}, {"base", train_destination_port}});
}

}  // namespace

void handle_answer(const BandwidthReceiverShared& shared, std::span<const std::uint8_t> datagram, Instant arrival) {
    const packets::IpFamily family = packets::family_of(shared.target);
    if (!packets::is_of_family(datagram, family)) {
        return;  // another family's
    }
    const auto received = packets::read_icmp_error(datagram, family);
    if (!received) {
        log::info(target_log, log::fill_message("bw: outer_ip parse fail, len={}", datagram.size()));
        return;
    }
    log_reading(*received, shared.target);
    const auto answer = match_train_answer(*received, shared.target, shared.source_port);
    if (!answer) {
        return;
    }
    // The hop is the one the train was sent to; an answer to a train no longer
    // in flight (its sample taken, or purged) tells nothing new, nor does one
    // quoting another flow's port than the train's (an older train of that
    // number, sent before the numbers came round).
    const auto destination = shared.trains->destination_of(answer->train_id);
    if (!destination || destination->flow != answer->flow) {
        return;
    }
    const std::uint8_t hop = destination->hop;
    shared.distance->answered(hop, answer->from_target);
    if (answer->from_target) {
        return;
    }
    log::info(target_log, "bw: hop matched to train",
              {{"dst_port", train_flow_port(answer->flow)},
               {"hop_from_port", hop},
               {"train_id", answer->train_id},
               {"_packet_idx", answer->packet_index},
               {"flow", answer->flow}});
    if (const auto arrivals = shared.trains->add_arrival(answer->train_id, arrival)) {
        if (const auto sample = spacing_sample(*arrivals)) {
            shared.flow_samples->add(answer->flow, hop, *sample, answer->from);
            // A train that met flow 0's routers up to its hop crossed flow 0's
            // links: on a route without a balancer every train counts there.
            if (answer->flow == 0 ||
                shared.flow_samples->follows_first_before(answer->flow, static_cast<std::uint8_t>(hop + 1))) {
                shared.samples->add(hop, *sample, answer->from);
            }
        }
    }
}

void run_bandwidth_receiver(BandwidthReceiverShared shared, capture::ReceiverCapture capture) {
    capture::ReceiverSetup setup = bandwidth_capture_setup(shared.target);
    setup.request.device = std::move(capture.device);
    setup.network = std::move(capture.network);
    capture::run_capture_receiver(
        *capture.opener, setup, *capture.status, *shared.stop, [&shared](const capture::CapturedDatagram& datagram) {
            log::info(target_log, "bw pcap packet", {{"len", datagram.frame_length}});
            log::info(target_log, "bw: parsed datalink",
                      {{"datalink", datagram.link_type}, {"ip_data_len", datagram.bytes.size()}});
            handle_answer(shared, datagram.bytes, datagram.arrival());
        });
}

}  // namespace tarnvale::engines::bandwidth
