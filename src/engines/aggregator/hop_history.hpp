#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engines/aggregator/loss_location.hpp"

// What the aggregator keeps of each hop's reports: the loss each gave, for
// the trend, and the outcome totals, for the evidence over a window.
namespace tarnvale::engines::aggregator {

inline constexpr std::uint64_t history_span_s = 600;

struct LossSample {
    double t;  // seconds since the history's base_ts
    double loss;
};

// The hop's outcome totals as a report gave them, at `t` like a loss sample.
struct OutcomeTotals {
    double t;
    AnswerCounts counts;
};

struct HopHistory {
    std::uint64_t base_ts = 0;
    std::vector<LossSample> samples;
    std::vector<OutcomeTotals> totals;  // begun afresh when the totals restart (a new hop engine)
};

// The time of the history's newest report; 0 without one.
std::uint64_t newest_ts(const HopHistory& history);

// Adds one report's loss and outcome totals at `ts` to the history, dropping
// what is older than history_span_s. Totals lower than the previous ones were
// counted afresh since: the history's totals begin again with them.
void record_report(HopHistory& history, std::uint64_t ts, double loss, const AnswerCounts& counts);

// The hop's answers over the `window_s` seconds up to `until`, in total and
// report by report.
HopEvidence windowed_evidence(const HopHistory& history, std::uint8_t hop, std::uint64_t until, std::uint64_t window_s);

// The mean loss of the histories at each report time all of them reported at.
HopHistory pooled_history(std::span<const HopHistory* const> histories);

}  // namespace tarnvale::engines::aggregator
