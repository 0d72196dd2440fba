#include "scenario_path.hpp"

#include <limits>
#include <map>

namespace tarnvale::sim {

namespace {

using Clock = SimulatedPath::Clock;

std::shared_ptr<SimulatedLink> build_link(const LinkSetting& setting, const RunTimes& times) {
    return std::make_shared<SimulatedLink>(LinkConditions{
        .loss_pct = run_timeline(setting.loss_pct, times),
        .return_loss_pct = run_timeline(setting.return_loss_pct, times),
        .mean_burst_ms = setting.mean_burst_ms,
        .queue_ms = run_timeline(setting.queue, times, [](const QueueLevel& level) { return level.ms; }),
        .queue_swing_ms = run_timeline(setting.queue, times, [](const QueueLevel& level) { return level.swing_ms; })});
}

std::shared_ptr<AnswerPolicy> build_answers(const NodeSetting& node, const RunTimes& times,
                                            const std::map<std::string, std::shared_ptr<SimulatedLink>>& links) {
    if (node.answers.empty()) {
        return nullptr;
    }
    const std::vector<double> starts = times.starts(node.answers);
    Steps<AnswerBehaviour> behaviours;
    for (std::size_t index = 0; index < node.answers.size(); ++index) {
        const AnswersSetting& setting = node.answers[index].value;
        AnswerBehaviour behaviour{.share = setting.share,
                                  .echo_share = setting.echo_share,
                                  .silent = setting.silent,
                                  .hold_ms = setting.hold_ms};
        for (const LimitRule& rule : setting.limits) {
            behaviour.limits.emplace_back(rule);
        }
        if (!setting.slow_with_queue.empty()) {
            behaviour.slow_with_queue = links.at(setting.slow_with_queue);
        }
        behaviours.add(starts[index], std::move(behaviour));
    }
    return std::make_shared<AnswerPolicy>(std::move(behaviours));
}

Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

std::vector<RouteInForce> run_routes(const ScenarioFile& scenario, const RunTimes& times) {
    std::vector<RouteInForce> routes{{0.0, scenario.route, scenario.balanced_routes}};
    for (const ScheduledRoute& change : scenario.route_changes) {
        routes.push_back({times.at(change.at), change.route});
    }
    return routes;
}

packets::IpAddress scenario_client() { return numbered_address(0); }

std::unique_ptr<SimulatedPath> build_path(const ScenarioFile& scenario, const RunTimes& times, std::uint64_t seed,
                                          double unix_start) {
    // Every link, for the nodes whose answers wait on another link's queue.
    std::map<std::string, std::shared_ptr<SimulatedLink>> links;
    for (const auto& [name, setting] : scenario.links) {
        links.emplace(name, build_link(setting, times));
    }
    // One hop per node, which keeps its link and its answers' state on every route.
    std::map<std::string, SimulatedHop> hops;
    for (const NodeSetting& node : scenario.nodes) {
        const auto link = links.find(node.name);
        hops.emplace(node.name, SimulatedHop{.address = node.address,
                                             .round_trip = std::chrono::duration_cast<std::chrono::microseconds>(
                                                 std::chrono::duration<double, std::milli>(node.rtt_ms)),
                                             .jitter_ms = node.jitter_ms,
                                             .link = link == links.end() ? nullptr : link->second,
                                             .answers = build_answers(node, times, links),
                                             .tcp = node.tcp});
    }
    const auto route_of = [&](const std::vector<std::string>& names) {
        std::vector<SimulatedHop> route;
        for (const std::string& name : names) {
            route.push_back(hops.at(name));
        }
        return route;
    };
    const auto routes = run_routes(scenario, times);
    auto path = std::make_unique<SimulatedPath>(
        scenario_client(), route_of(routes.front().nodes),
        std::chrono::milliseconds(static_cast<std::int64_t>(scenario.duration_s * 1000)), seed, unix_start);
    for (const auto& balanced : routes.front().balanced) {
        path->add_branch(route_of(balanced));
    }
    for (std::size_t index = 1; index < routes.size(); ++index) {
        path->change_route(seconds(routes[index].from_s), route_of(routes[index].nodes));
    }
    for (const OtherProberSetting& setting : scenario.other_probers) {
        OtherProber prober{
            .from_s = times.at(setting.from),
            .until_s = setting.until ? times.at(*setting.until) : std::numeric_limits<double>::infinity(),
            .per_s = setting.per_s,
            .kinds = setting.kinds};
        for (const std::string& name : setting.to) {
            prober.to.push_back(scenario.node(name).address);
        }
        path->add_other_prober(prober);
    }
    return path;
}

}  // namespace tarnvale::sim
