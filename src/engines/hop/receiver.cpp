#include "engines/hop/receiver.hpp"

#include <chrono>

#include "engines/hop/probe_packet.hpp"
#include "engines/hop/reply_parser.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"

namespace tarnvale::engines::hop {

namespace {

// Immediate mode delivers each reply as it comes; the read timeout lets the
// thread notice that it is to stop. A few replies a second need little room.
// Time Exceeded and Destination Unreachable, over IPv4 or IPv6 as the target's
// family is, and TCP from the target's probed port to the engine's own; without
// the filter the matching still drops everything else.
capture::ReceiverSetup hop_capture_setup(const packets::IpAddress& target, std::optional<std::uint16_t> tcp_port) {
    std::string filter =
        target.is_v4() ? "(icmp and (icmp[0] = 11 or icmp[0] = 3))" : "(icmp6 and (ip6[40] = 3 or ip6[40] = 1))";
    if (tcp_port) {
        filter +=
            log::fill_message(" or ({} and tcp and src host {} and src port {} and dst port {})",
                              target.is_v4() ? "ip" : "ip6", packets::to_text(target), target_tcp_port, *tcp_port);
    }
    return {{std::nullopt, {false, 256, 200, true, 256 * 1024}, std::move(filter), false, log::target::hop},
            {"pcap open failed", "BPF filter compile failed", "pcap datalink type", "pcap next_packet error"}};
}

// Restarts what the hop table and the delay table know of the hop, and hands
// the change on to the reporter; what the pinger needs goes with the sighting.
void restart_hop(const ReceiverShared& shared, const RouteChange& change) {
    log::info(log::target::hop, "route change",
              {{"hop", change.hop},
               {"old_addr", packets::to_text(change.old_addr)},
               {"new_addr", packets::to_text(change.new_addr)}});
    shared.table->restart(change.hop, change.new_addr);
    shared.delays->restart(change.hop);
    shared.flow_paths->move(change.hop, change.old_addr, change.new_addr);
    if (!shared.route_changes->try_push(change)) {
        log::warn(log::target::hop, "route change not reported: too many waiting", {{"hop", change.hop}});
    }
}

void handle_reply(const ReceiverShared& shared, const ProbeReply& reply, std::chrono::steady_clock::time_point now) {
    const auto probe = settle_answered(*shared.pending, {*shared.table, *shared.flow_paths}, reply.probe_id,
                                       ProbeKind::ttl_limited, reply.flow, reply.source, now);
    if (!probe) {
        return;  // never sent, already answered or already counted as lost
    }
    // Flow 0's path, and the flows that last met its router at the TTL: a
    // router replaced on every path shows in all of them at once, while the
    // other paths of a balanced route stay out. A flow that has already met
    // the router now challenging it is heard too: the flows take turns by the
    // routers they meet, and those that met the new one first would otherwise
    // be left out of its run every other sweep.
    const auto met_before = probe->flow_router_before;
    const bool of_first_router =
        probe->in_table || (met_before && (met_before == shared.routes->router(probe->ttl) ||
                                           met_before == shared.routes->challenger(probe->ttl)));
    std::optional<RouteChange> change;
    if (of_first_router && probe->ttl < shared.table->size()) {
        change = shared.routes->observe(probe->ttl, reply.source);
        shared.table->set_router_in_doubt(probe->ttl, shared.routes->challenger(probe->ttl).has_value());
    }
    if (change) {
        restart_hop(shared, *change);
    }
    if (probe->in_table) {
        shared.delays->record(probe->ttl, now, probe->rtt_ms);
    }
    // Another flow's answer from flow 0's router may tell the pinger of it sooner.
    if (probe->in_table || change || shared.table->router(probe->ttl) == reply.source) {
        HopSighting sighting{probe->ttl, reply.source};
        if (change) {
            sighting.replaces = change->old_addr;
        }
        shared.sightings->try_push(sighting);
    }
    log::info(log::target::hop, "probe reply received",
              {{"seq", reply.probe_id},
               {"ttl", probe->ttl},
               {"flow", reply.flow},
               {"rtt_ms", probe->rtt_ms},
               {"src", packets::to_text(reply.source)}});
}

}  // namespace

void handle_datagram(const ReceiverShared& shared, std::span<const std::uint8_t> datagram,
                     std::chrono::steady_clock::time_point arrival) {
    const ParsedReply parsed = parse_probe_reply(datagram, shared.target, shared.flows);
    if (parsed.time_exceeded_from) {
        log::info(log::target::hop, "TimeExceeded received", {{"src", packets::to_text(*parsed.time_exceeded_from)}});
    }
    if (parsed.reply) {
        handle_reply(shared, *parsed.reply, arrival);
        return;
    }
    if (!shared.tcp_port) {
        return;
    }
    if (const auto answer = parse_tcp_answer(datagram, shared.target, *shared.tcp_port)) {
        if (const auto probe = settle_answered(*shared.pending, {*shared.table, *shared.flow_paths}, answer->probe_id,
                                               ProbeKind::tcp, 0, answer->source, arrival)) {
            log::info(log::target::hop, "tcp probe answered", {{"seq", answer->probe_id}, {"rtt_ms", probe->rtt_ms}});
        }
    }
}

void run_receiver(ReceiverShared shared, capture::ReceiverCapture capture) {
    capture::ReceiverSetup setup = hop_capture_setup(shared.target, shared.tcp_port);
    setup.request.device = std::move(capture.device);
    setup.network = std::move(capture.network);
    capture::run_capture_receiver(*capture.opener, setup, *capture.status, *shared.stop,
                                  [&shared](const capture::CapturedDatagram& datagram) {
                                      handle_datagram(shared, datagram.bytes, datagram.arrival());
                                  });
}

}  // namespace tarnvale::engines::hop
