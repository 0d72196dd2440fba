#include "engines/aggregator/hop_history.hpp"

#include <algorithm>
#include <map>
#include <utility>

namespace tarnvale::engines::aggregator {

std::uint64_t newest_ts(const HopHistory& history) {
    return history.samples.empty() ? 0 : history.base_ts + static_cast<std::uint64_t>(history.samples.back().t);
}

void record_report(HopHistory& history, std::uint64_t ts, double loss, const AnswerCounts& counts) {
    if (history.samples.empty() && history.totals.empty()) {
        history.base_ts = ts;
        history.samples.push_back({0.0, loss});
        history.totals.push_back({0.0, counts});
        return;
    }
    const double t = ts < history.base_ts ? 0.0 : static_cast<double>(ts - history.base_ts);
    history.samples.push_back({t, loss});
    const auto counted_less = [](Counts now, Counts before) {
        return now.outcomes < before.outcomes || now.lost < before.lost;
    };
    if (!history.totals.empty()) {
        const AnswerCounts& before = history.totals.back().counts;
        if (counted_less(counts.probes, before.probes) || counted_less(counts.echoes, before.echoes) ||
            counted_less(counts.tcp, before.tcp)) {
            history.totals.clear();  // counted afresh since (a new hop engine, or a flow's new router)
        }
    }
    history.totals.push_back({t, counts});
    const double newest_kept = static_cast<double>(ts < history_span_s ? 0 : ts - history_span_s);
    const double cutoff = newest_kept - static_cast<double>(history.base_ts);
    std::erase_if(history.samples, [cutoff](const LossSample& sample) { return sample.t < cutoff; });
    std::erase_if(history.totals, [cutoff](const OutcomeTotals& totals) { return totals.t < cutoff; });
}

HopEvidence windowed_evidence(const HopHistory& history, std::uint8_t hop, std::uint64_t until,
                              std::uint64_t window_s) {
    if (history.totals.empty()) {
        return {hop, {}, {}};
    }
    const auto since_counts = [](Counts end, Counts start) {
        return Counts{end.outcomes - std::min(start.outcomes, end.outcomes), end.lost - std::min(start.lost, end.lost)};
    };
    const auto since = [&since_counts](const OutcomeTotals& end, const OutcomeTotals& start) {
        return AnswerCounts{since_counts(end.counts.probes, start.counts.probes),
                            since_counts(end.counts.echoes, start.counts.echoes),
                            since_counts(end.counts.tcp, start.counts.tcp)};
    };
    // From the newest totals at least a window old, or the oldest there are.
    std::size_t start = 0;
    std::size_t end = 0;
    for (std::size_t index = 0; index < history.totals.size(); ++index) {
        const std::uint64_t ts = history.base_ts + static_cast<std::uint64_t>(history.totals[index].t);
        if (ts <= until) {
            end = index;
        }
        if (ts + window_s <= until) {
            start = index;
        }
    }
    const auto& totals = history.totals;
    HopEvidence evidence{hop, since(totals[end], totals[start]), {}};
    for (std::size_t index = start + 1; index <= end; ++index) {
        evidence.intervals.push_back(since(totals[index], totals[index - 1]));
    }
    return evidence;
}

HopHistory pooled_history(std::span<const HopHistory* const> histories) {
    // Mean loss of the histories at each report time all of them reported at.
    std::map<std::uint64_t, std::pair<double, std::size_t>> by_time;
    for (const HopHistory* history : histories) {
        for (const LossSample& sample : history->samples) {
            auto& [sum, count] = by_time[history->base_ts + static_cast<std::uint64_t>(sample.t)];
            sum += sample.loss;
            ++count;
        }
    }
    HopHistory pooled;
    for (const auto& [ts, sum_and_count] : by_time) {
        const auto& [sum, count] = sum_and_count;
        if (count != histories.size()) {
            continue;
        }
        if (pooled.samples.empty()) {
            pooled.base_ts = ts;
        }
        pooled.samples.push_back({static_cast<double>(ts - pooled.base_ts), sum / static_cast<double>(count)});
    }
    return pooled;
}

}  // namespace tarnvale::engines::aggregator
