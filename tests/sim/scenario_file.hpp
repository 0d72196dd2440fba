#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "answer_policy.hpp"
#include "packets/ip_address.hpp"
#include "simulated_path.hpp"

// Diagnosis scenarios as their files write them (tests/sim/scenarios/README.md
// describes the format): a plain record of what a file says, checked, with its
// times still ranges; each run draws its own values of those.
namespace tarnvale::sim {

// A time in seconds since the probe started: a number (lo == hi), or a range
// each run draws a value from uniformly.
struct TimeRange {
    double lo = 0;
    double hi = 0;
    std::size_t draw = 0;  // its place among the scenario's ranges, which the run's seed fills
};

// A point of a timeline as written: from when its value holds, and how long it
// takes to get there from the value before.
template <typename Value>
struct TimelinePoint {
    TimeRange start;
    bool after_previous = false;  // `after_s`: `start` counts from the previous point's start
    double ramp_s = 0;
    Value value{};
};

template <typename Value>
using TimelineSetting = std::vector<TimelinePoint<Value>>;

struct AnswersSetting {
    double share = 1.0;
    double echo_share = 1.0;
    bool silent = false;
    std::vector<LimitRule> limits;
    std::optional<std::pair<double, double>> hold_ms;
    std::string slow_with_queue;  // the name of a link, or empty
};

struct NodeSetting {
    std::string name;
    std::string owner;  // "home", "isp", "transit" or "destination"
    packets::IpAddress address;
    double rtt_ms = 0;
    double jitter_ms = 0.5;
    TimelineSetting<AnswersSetting> answers;  // empty: it answers everything
    TcpAnswer tcp = TcpAnswer::closed;
};

struct QueueLevel {
    double ms = 0;
    double swing_ms = 0;
};

struct LinkSetting {
    TimelineSetting<double> loss_pct;
    TimelineSetting<double> return_loss_pct;
    std::optional<double> mean_burst_ms;
    TimelineSetting<QueueLevel> queue;
    std::string queue_filled_by;  // "own_upload", "cross_traffic" or empty
};

struct ScheduledRoute {
    TimeRange at;
    std::vector<std::string> route;
};

struct UploadSetting {
    std::string process;
    double mbps = 0;
    bool saturating = false;
};

struct OtherProberSetting {
    TimeRange from;
    std::optional<TimeRange> until;  // none: to the end of the run
    double per_s = 1.0;
    std::vector<std::string> to;  // empty: every hop
    AnswerKinds kinds{AnswerKind::time_exceeded};
};

struct ExpectedDiagnosis {
    std::string node;
    std::string cause;
};

struct ExpectSetting {
    std::optional<ExpectedDiagnosis> degradation;
    std::optional<ExpectedDiagnosis> latency;
    bool route_change = false;
    std::optional<double> fault_at_s;
};

struct ScenarioFile {
    std::string file;  // where it was read from, for messages
    std::string name;
    std::string about;
    double duration_s = 0;
    std::vector<NodeSetting> nodes;  // in the file's order
    std::vector<std::string> route;
    // Routes that routers balance flows over beside `route`, from the start
    // until the first route change; each ends at the target.
    std::vector<std::vector<std::string>> balanced_routes;
    std::vector<ScheduledRoute> route_changes;
    std::map<std::string, LinkSetting> links;  // by the node at the far end
    TimelineSetting<UploadSetting> upload;
    std::vector<OtherProberSetting> other_probers;
    ExpectSetting expect;
    std::vector<std::string> tags;
    std::size_t ranges = 0;  // the time ranges a run draws

    const NodeSetting& node(std::string_view wanted) const;
};

// A file that says something wrong; the message names the file and the member.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One scenario from its text; `file` names it in errors.
ScenarioFile parse_scenario(std::string_view text, const std::string& file);
ScenarioFile read_scenario(const std::filesystem::path& path);
// Every *.json file under the folder, its subfolders included, in order of path.
std::vector<ScenarioFile> read_scenarios(const std::filesystem::path& folder);

// A named rate limit: "linux", "cisco", "juniper", "per_interface_100_per_10s".
std::optional<LimitRule> limit_preset(std::string_view name);

// The values one run gives a scenario's times, drawn from the run's seed.
class RunTimes {
public:
    RunTimes(const ScenarioFile& scenario, std::uint64_t seed);

    double at(const TimeRange& time) const;

    // When each point of a timeline begins.
    template <typename Value>
    std::vector<double> starts(const TimelineSetting<Value>& timeline) const {
        std::vector<double> starts;
        for (const auto& point : timeline) {
            starts.push_back(at(point.start) + (point.after_previous ? starts.back() : 0.0));
        }
        return starts;
    }

private:
    std::vector<double> draws_;  // uniform in [0, 1), one per range
};

}  // namespace tarnvale::sim
