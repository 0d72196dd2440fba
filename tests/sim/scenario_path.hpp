#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scenario_file.hpp"
#include "simulated_path.hpp"
#include "timeline.hpp"

// A scenario made into one run's simulated path: its nodes with the links into
// them and their ways of answering, its routes, and the other probers on the host.
namespace tarnvale::sim {

// A numeric timeline at the run's times.
template <typename Value, typename Number>
Timeline run_timeline(const TimelineSetting<Value>& setting, const RunTimes& times, Number number) {
    const std::vector<double> starts = times.starts(setting);
    std::vector<Timeline::Point> points;
    for (std::size_t index = 0; index < setting.size(); ++index) {
        points.push_back({starts[index], setting[index].ramp_s, number(setting[index].value)});
    }
    return Timeline(std::move(points));
}

inline Timeline run_timeline(const TimelineSetting<double>& setting, const RunTimes& times) {
    return run_timeline(setting, times, [](double value) { return value; });
}

// A route and when it comes into force, in seconds since the run began.
struct RouteInForce {
    double from_s;
    std::vector<std::string> nodes;
    std::vector<std::vector<std::string>> balanced = {};  // the routes flows are balanced over beside it
};

// The routes of the run in time order, the first from 0.
std::vector<RouteInForce> run_routes(const ScenarioFile& scenario, const RunTimes& times);

// The host's address on every scenario's path.
packets::IpAddress scenario_client();

// The run's path, over the scenario's duration, its random numbers from `seed`.
std::unique_ptr<SimulatedPath> build_path(const ScenarioFile& scenario, const RunTimes& times, std::uint64_t seed,
                                          double unix_start);

}  // namespace tarnvale::sim
