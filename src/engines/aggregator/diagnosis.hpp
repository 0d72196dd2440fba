#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engines/reports.hpp"

// The aggregator's state and decision, as plain functions of the reports it has
// applied, so that they can be driven without a clock or a queue.
namespace tarnvale::engines::aggregator {

inline constexpr double loss_threshold_pct = 15.0;
inline constexpr std::uint32_t max_eta_for_event_s = 600;
inline constexpr std::uint64_t history_span_s = 600;

struct LossSample {
    double t;  // seconds since the history's base_ts
    double loss;
};

struct HopHistory {
    std::uint64_t base_ts = 0;
    std::vector<LossSample> samples;
};

struct TrendFit {
    double slope;  // percentage points per second
    std::uint32_t minutes;
    float loss_now;
};

struct Diagnosis {
    std::uint8_t hop;
    float loss_now;
    std::uint32_t eta_s;
    std::uint32_t trend_min;
    float trend_pct_per_min;
    std::string cause;
    std::string cause_detail;
    std::string severity;
};

// Least-squares line of loss over time; nothing for fewer than 3 samples or a
// degenerate spread of times.
std::optional<TrendFit> fit_trend(const HopHistory& history);

// Seconds until loss_now reaches the threshold at the given positive slope.
std::uint32_t eta_to_threshold(float loss_now, double slope);

std::string severity_for(float loss_now, std::uint32_t eta_s);

class DiagnosisState {
public:
    void apply(const AggregatorReport& report);

    // The diagnosis for where rising loss begins: the lowest hop whose loss
    // rises and has reached the threshold or will within ten minutes. Loss that
    // starts at one hop shows at every hop behind it with the same trend, so
    // which of those rises steepest is chance; the lowest one is where it starts.
    std::optional<Diagnosis> evaluate() const;

    const std::map<std::uint8_t, HopHistory>& histories() const { return histories_; }

private:
    void apply_hop_loss(const HopLossReport& report);
    std::pair<std::string, std::string> cause_for(std::uint8_t hop) const;

    std::map<std::uint8_t, HopHistory> histories_;
    std::optional<std::uint8_t> bottleneck_hop_;
    std::vector<std::pair<std::string, float>> saturating_;  // in insertion order, one per name
};

}  // namespace tarnvale::engines::aggregator
