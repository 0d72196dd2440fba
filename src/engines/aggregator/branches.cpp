#include "engines/aggregator/branches.hpp"

#include <algorithm>

namespace tarnvale::engines::aggregator {

namespace {

// A report this much older than the newest is of a hop no longer on the flow's path.
constexpr std::uint64_t current_age_s = 10;

// Report by report, the newest of each aligned with the newest of the others.
void add_intervals(std::vector<AnswerCounts>& pooled, const std::vector<AnswerCounts>& intervals) {
    if (pooled.size() < intervals.size()) {
        pooled.insert(pooled.begin(), intervals.size() - pooled.size(), AnswerCounts{});
    }
    const std::size_t offset = pooled.size() - intervals.size();
    for (std::size_t index = 0; index < intervals.size(); ++index) {
        AnswerCounts& into = pooled[offset + index];
        into.probes = into.probes + intervals[index].probes;
    }
}

}  // namespace

void FlowHistories::apply(const FlowLossReport& report) {
    FlowHop& hop = hops_[{report.flow, report.hop}];
    if (hop.addr != report.addr) {
        hop = FlowHop{report.addr, {}};  // another router: its figures begin again, as the engine's do
    }
    record_report(hop.history, report.ts, static_cast<double>(report.loss_pct),
                  AnswerCounts{{report.outcomes_total, report.lost_total}, {}, {}});
}

std::uint64_t FlowHistories::newest_ts() const {
    std::uint64_t newest = 0;
    for (const auto& [key, hop] : hops_) {
        newest = std::max(newest, aggregator::newest_ts(hop.history));
    }
    return newest;
}

std::uint64_t FlowHistories::meeting_since(const Branch& branch, std::uint8_t hop) const {
    std::uint64_t since = 0;
    for (const std::uint8_t flow : branch.flows) {
        if (const auto found = hops_.find({flow, hop}); found != hops_.end()) {
            since = std::max(since, found->second.history.base_ts);
        }
    }
    return since;
}

std::vector<Branch> FlowHistories::branches() const {
    const std::uint64_t newest = newest_ts();
    std::map<std::uint8_t, RoutersByHop<std::string>> routers;  // by flow
    for (const auto& [key, hop] : hops_) {
        if (aggregator::newest_ts(hop.history) + current_age_s >= newest) {
            routers[key.first][key.second] = hop.addr;
        }
    }
    // Flow 0, if reported, first.
    return group_flows<std::string>({std::make_move_iterator(routers.begin()), std::make_move_iterator(routers.end())});
}

HopEvidence FlowHistories::evidence(const Branch& branch, std::uint8_t hop, std::uint64_t until,
                                    std::uint64_t window_s) const {
    HopEvidence pooled{hop, {}, {}};
    for (const std::uint8_t flow : branch.flows) {
        const auto found = hops_.find({flow, hop});
        if (found == hops_.end()) {
            continue;
        }
        const HopEvidence own = windowed_evidence(found->second.history, hop, until, window_s);
        pooled.total.probes = pooled.total.probes + own.total.probes;
        add_intervals(pooled.intervals, own.intervals);
    }
    return pooled;
}

HopHistory FlowHistories::pooled_history(const Branch& branch, const std::vector<std::uint8_t>& hops) const {
    std::vector<const HopHistory*> histories;
    for (const std::uint8_t flow : branch.flows) {
        for (const std::uint8_t hop : hops) {
            if (const auto found = hops_.find({flow, hop}); found != hops_.end()) {
                histories.push_back(&found->second.history);
            }
        }
    }
    return aggregator::pooled_history(histories);
}

std::optional<std::uint8_t> parting_hop(const Branch& branch, const Branch& first) {
    for (const auto& [hop, router] : branch.routers) {
        const auto other = first.routers.find(hop);
        if (other != first.routers.end() && other->second != router) {
            return hop;
        }
    }
    return std::nullopt;
}

}  // namespace tarnvale::engines::aggregator
