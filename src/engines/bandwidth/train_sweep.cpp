#include "engines/bandwidth/train_sweep.hpp"

#include "engines/bandwidth/train_flows.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "engines/send_failures.hpp"
#include "ipc/wire_names.hpp"
#include "log/log.hpp"

namespace tarnvale::engines::bandwidth {

namespace {

constexpr auto target_log = log::target::bandwidth;

constexpr EngineIdentity bandwidth_engine{ipc::engine_name::bandwidth, target_log};
// What the engine's trains are called in its SEND_FAIL errors.
constexpr std::string_view unsent_trains = "trains";

// How often the loop looks whether the host's network has changed while it
// has no route to the target.
constexpr std::chrono::milliseconds route_wait{200};

// Waits until `until`, looking at the route again when the host's network
// changes, so that the client hears of an outage even between sweeps.
asio::awaitable<void> wait_watching_route(const TrainShared& shared, ProbeNetwork& network,
                                          const EngineOutlets& outlets, ProbeNetwork::Clock::time_point until) {
    while (network.now() < until) {
        co_await network.wait_until(std::min(until, network.now() + route_wait));
        co_await recheck_route(outlets, network, bandwidth_engine, shared.target, *shared.route);
    }
}

// The source address the next train leaves from, as the host routes it now:
// while the host has no route to the target, waits until it has one again.
asio::awaitable<packets::IpAddress> source_for_train(const TrainShared& shared, ProbeNetwork& network,
                                                     const EngineOutlets& outlets) {
    co_await recheck_route(outlets, network, bandwidth_engine, shared.target, *shared.route);
    while (!shared.route->source()) {
        co_await wait_watching_route(shared, network, outlets, network.now() + route_wait);
    }
    co_return *shared.route->source();
}

// The ten packets of one train.
std::vector<Outgoing> train_datagrams(const TrainShared& shared, packets::IpAddress source, std::uint16_t train_id,
                                      std::uint8_t hop, std::uint8_t flow) {
    std::vector<Outgoing> datagrams;
    for (unsigned index = 0; index < packets_per_train; ++index) {
        datagrams.push_back({build_train_packet(train_id, hop, index, source, shared.target, shared.source_port, flow),
                             shared.target, train_flow_port(flow)});
    }
    return datagrams;
}

asio::awaitable<void> report_estimate(std::uint8_t hop, const HopSampleTable& samples, BaselineCell& baseline,
                                      const ProbeNetwork& network, const EngineOutlets& outlets) {
    auto previous = hop >= 2 ? samples.samples(static_cast<std::uint8_t>(hop - 1)) : std::vector<double>{};
    const auto estimate = estimate_hop(hop, samples.samples(hop), std::move(previous), baseline);
    if (!estimate) {
        co_return;
    }
    log::info(target_log, "bw_estimate",
              {{"hop", hop}, {"bw_mbps", estimate->mbps}, {"baseline_mbps", estimate->baseline_mbps},
               {"bottleneck", estimate->bottleneck}, {"ci_level", estimate->level}});
    const auto address = samples.address(hop);
    std::string addr = address ? packets::to_text(*address) : "";
    ipc::Event event = ipc::BwEstimateEvent{
        network.unix_seconds(), hop, std::move(addr), estimate->mbps, estimate->baseline_mbps, estimate->bottleneck,
        ipc::BandwidthConfidence{estimate->level, estimate->p05_mbps, estimate->p95_mbps, estimate->sample_count}};
    co_await outlets.events.send(std::move(event));
    AggregatorReport report = BottleneckReport{hop, estimate->bottleneck};
    co_await outlets.reports.send(std::move(report));
}

// The estimate of one flow at a hop, from that flow's samples, as a flow_bw
// event; nothing before it has two samples there. Where the flow met flow 0's
// routers before this hop, its trains crossed flow 0's links up to there: the
// previous hop's samples are flow 0's when it met them at every hop before,
// and the baseline is flow 0's when it met flow 0's first router. Flow 0's
// rest on a sample every sweep, a guest's on two every seventh, in which one
// late wake-up of the sender would hide the link or make one.
asio::awaitable<void> report_flow_estimate(std::uint8_t flow, std::uint8_t hop, const FlowSampleTable& samples,
                                           std::vector<BaselineCell>& baselines, const ProbeNetwork& network,
                                           const EngineOutlets& outlets) {
    const std::uint8_t previous_of = hop >= 2 && samples.follows_first_before(flow, hop) ? 0 : flow;
    const std::uint8_t baseline_of = hop >= 2 && samples.follows_first_before(flow, 2) ? 0 : flow;
    auto previous = hop >= 2 ? samples.samples(previous_of, static_cast<std::uint8_t>(hop - 1)) : std::vector<double>{};
    const auto estimate = estimate_hop(hop, samples.samples(flow, hop), std::move(previous), baselines[baseline_of]);
    if (!estimate) {
        co_return;
    }
    log::info(target_log, "flow_bw",
              {{"flow", flow},
               {"hop", hop},
               {"bw_mbps", estimate->mbps},
               {"baseline_mbps", estimate->baseline_mbps},
               {"bottleneck", estimate->bottleneck},
               {"sample_count", estimate->sample_count}});
    const auto router = samples.router(flow, hop);
    std::string addr = router ? packets::to_text(*router) : "";
    ipc::Event event = ipc::FlowBwEvent{network.unix_seconds(),
                                        flow,
                                        hop,
                                        std::move(addr),
                                        estimate->mbps,
                                        estimate->baseline_mbps,
                                        estimate->bottleneck,
                                        estimate->sample_count};
    co_await outlets.events.send(std::move(event));
}

}  // namespace

std::chrono::milliseconds rest_after_sweep(std::uint8_t max_hops, std::uint8_t last_hop, std::uint32_t probe_count,
                                           std::uint64_t interval_ms) {
    const auto skipped_trains = static_cast<std::uint64_t>(max_hops > last_hop ? max_hops - last_hop : 0) *
                                probe_count;
    const auto one_train = packet_spacing * packets_per_train + pause_after_train;
    return std::chrono::milliseconds(interval_ms) + one_train * skipped_trains;
}

asio::awaitable<void> send_trains_forever(const TrainShared& shared, ProbeNetwork& network,
                                          const EngineOutlets& outlets) {
    BaselineCell baseline;
    std::vector<BaselineCell> flow_baselines(train_flow_count);
    TrainCounter counter;
    SendFailures failures(send_failure_notice_period);
    for (std::uint64_t sweep = 0;; ++sweep) {
        std::uint8_t last_hop = 0;
        for (std::uint8_t hop = 1; hop <= shared.distance->distance().value_or(shared.max_hops) && hop != 0; ++hop) {
            last_hop = hop;
            for (std::uint32_t train = 0; train < shared.trains_per_hop; ++train) {
                const packets::IpAddress source = co_await source_for_train(shared, network, outlets);
                const std::uint16_t train_id = counter.next();
                const std::uint8_t flow = train_flow(sweep, train);
                const auto registered = network.now();
                shared.trains->add(TrainRecord{train_id, hop, flow, packets_per_train, registered, {}});
                outlets.answer_budgets->spend(Responder{shared.target, hop}, packets_per_train, registered);
                auto datagrams = train_datagrams(shared, source, train_id, hop, flow);
                const auto error = co_await network.send_paced(std::move(datagrams), packet_spacing);
                if (error) {
                    log::warn(target_log, "train send failed",
                              {{"hop", hop}, {"train_id", train_id}, {"err", error.message()}});
                    shared.trains->remove(train_id);
                    failures.record(unsent_trains, error);
                    shared.route->suspect(error);
                }
                co_await report_send_failures(outlets, ipc::engine_name::bandwidth, failures, network.now());
                if (error) {
                    continue;
                }
                log::info(target_log, "train sent", {{"hop", hop}, {"train_id", train_id}, {"flow", flow}});
                co_await wait_watching_route(shared, network, outlets, network.now() + pause_after_train);
                shared.trains->purge_older_than(network.now(), train_lifetime);
            }
            co_await report_estimate(hop, *shared.samples, baseline, network, outlets);
            co_await report_flow_estimate(0, hop, *shared.flow_samples, flow_baselines, network, outlets);
            if (const std::uint8_t guest = guest_flow(sweep); guest != 0) {
                co_await report_flow_estimate(guest, hop, *shared.flow_samples, flow_baselines, network, outlets);
            }
        }
        co_await wait_watching_route(
            shared, network, outlets,
            network.now() + rest_after_sweep(shared.max_hops, last_hop, shared.trains_per_hop, shared.interval_ms));
    }
}

}  // namespace tarnvale::engines::bandwidth
