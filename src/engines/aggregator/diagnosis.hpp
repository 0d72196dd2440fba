#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engines/aggregator/branches.hpp"
#include "engines/aggregator/hop_history.hpp"
#include "engines/aggregator/loss_location.hpp"
#include "engines/reports.hpp"

// The aggregator's state and decision, as plain functions of the reports it has
// applied, so that they can be driven without a clock or a queue.
namespace tarnvale::engines::aggregator {

inline constexpr double loss_threshold_pct = 15.0;
inline constexpr std::uint32_t max_eta_for_event_s = 600;
// The outcomes each hop's location evidence is counted over.
inline constexpr std::uint64_t evidence_window_s = 600;
// The outcomes the loss now is measured over: recent enough to follow a step
// (a loss of 20 % begun 35 s ago reads 15 %), long enough that a few unlucky
// probes do not read as a serious loss (a hop answers some 55 probes and
// pings in it).
inline constexpr std::uint64_t recent_window_s = 45;
// The same on a path of a balanced route that flow 0 does not take, whose
// evidence behind the parting is its flows' probes alone, without pings: a
// probe per hop every other sweep, some twelve in two minutes.
inline constexpr std::uint64_t branch_recent_window_s = 120;
// A rise is also looked for between the two halves of the evidence window: a
// loss a little above what the user need not be told of, begun a few minutes
// ago, no longer shows against the rest of the window over the recent
// outcomes alone, and not yet by its level.
inline constexpr std::uint64_t latter_half_window_s = evidence_window_s / 2;
// A loss the user need not be told of. An event needs the recent loss clearly
// above it, so that a low steady loss whose trend wavers does not warn by
// chance over hours of evaluations.
inline constexpr double noticeable_loss_share = 0.05;
inline constexpr double event_error_rate = 0.003;
// A hop belongs to the current path while its reports are this recent beside the
// newest one; hops no longer reported (past a target found nearer, or after a
// route change) keep their histories but are not judged.
inline constexpr std::uint64_t current_report_age_s = 10;
// Paths of a balanced route are judged apart once both have kept their routers
// where they part this long: after a route change, the flows not yet probed
// since still meet the old routers for a sweep or four, which is no branch.
inline constexpr std::uint64_t branch_settled_s = 60;
// A loss is not located at or behind a hop whose router may be being replaced
// (see HopLossReport::router_in_doubt) for this long: the change is confirmed
// within three sweeps, or the doubt was of a router that answers now and then.
inline constexpr std::uint64_t router_doubt_wait_s = 60;

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
    // Whether the event foretells what the loss is not yet sure to be: worth
    // telling of by its rise alone, not by its level, or still below 15 %.
    // Chance would find such a loss every so often over hours of a steady one,
    // so it is told only when two evaluations running find it.
    bool foretold = false;
};

// Least-squares line of loss over time; nothing for fewer than 3 samples or a
// degenerate spread of times.
std::optional<TrendFit> fit_trend(const HopHistory& history);

// Seconds until loss_now reaches the threshold at the given positive slope.
std::uint32_t eta_to_threshold(float loss_now, double slope);

std::string severity_for(float loss_now, std::uint32_t eta_s);

// A standing queue, located by the hop engine, with what the user can do about it.
struct LatencyDiagnosis {
    std::uint8_t hop;
    std::string addr;
    float baseline_ms;
    float current_ms;
    float added_ms;     // current less baseline, as the sentence and the severity give it
    std::string cause;  // "saturation" or "congestion"
    std::string cause_detail;
    std::string severity;
};

// From the added delay: a round trip 150 ms longer than usual hurts calls and
// games ("high"), 50 ms is felt ("medium").
std::string severity_for_delay(float added_ms);

class DiagnosisState {
public:
    // A path's hops and their answers over the evidence window and the recent one.
    struct PathEvidence {
        std::vector<std::uint8_t> hops;
        std::vector<HopEvidence> window;
        std::vector<HopEvidence> recent;
        std::vector<HopEvidence> latter_half;
    };

    void apply(const AggregatorReport& report);

    // The diagnosis for where rising loss begins: the lowest hop of the current
    // path where a loss begins that every later hop shares (loss_begins_at), when
    // the recent loss of the hops that show it is clearly noticeable, rises, and
    // has reached the threshold or will within ten minutes. The figures are
    // those of the hops together (the loss now measured over their recent
    // outcomes); the cause and sentence those of the hop where it begins.
    // A hop is named only when found in two evaluations running, or when it
    // is the hop last named: a location that each evaluation may get wrong by
    // chance would otherwise, over hours of evaluations, name a wrong hop now
    // and then, and a loss that has just begun shows at too few probes for
    // one evaluation to place it surely. Nothing is named while a router at or in front of the hop may
    // be being replaced: the loss may be of the route before the change.
    std::optional<Diagnosis> evaluate();

    // The diagnosis of the queue the latest queue report located, if it located one.
    std::optional<LatencyDiagnosis> evaluate_latency() const;

    const std::map<std::uint8_t, HopHistory>& histories() const { return histories_; }

private:
    // The diagnosis of this evaluation's evidence alone.
    std::optional<Diagnosis> diagnose() const;
    // Where on the path, from hop index `lowest` on, a noticeable and rising loss
    // begins, with its figures, cause and sentence; `trend` gives the mean loss
    // report by report of the hops that show it.
    std::optional<Diagnosis> locate(const PathEvidence& path, std::size_t lowest,
                                    const std::function<HopHistory(const std::vector<std::uint8_t>&)>& trend) const;
    // A loss on a branch of a balanced route that flow 0's path does not take.
    std::optional<Diagnosis> diagnose_branches(const std::vector<Branch>& branches) const;
    void apply_hop_loss(const HopLossReport& report);
    std::pair<std::string, std::string> cause_for(std::uint8_t hop) const;
    bool behind_bottleneck(std::uint8_t hop) const;
    bool router_in_doubt_up_to(std::uint8_t hop) const;
    std::string saturating_list() const;
    std::vector<std::uint8_t> current_path() const;
    // Each hop's answers over the `window_s` seconds up to the last hop's newest report.
    std::vector<HopEvidence> evidence(const std::vector<std::uint8_t>& path, std::uint64_t window_s) const;
    HopHistory pooled_history(std::span<const std::uint8_t> hops) const;
    // The part of a window of evidence up to `until` since the latest route
    // change: every hop is judged over the same time, and none by the old
    // route's links (a hop that kept the time before a loss began would look
    // cleaner than those begun afresh).
    std::uint64_t window_since_change(std::uint64_t until, std::uint64_t window_s) const;

    std::map<std::uint8_t, HopHistory> histories_;
    FlowHistories flows_;
    std::optional<std::uint8_t> bottleneck_hop_;
    std::optional<QueueReport> queue_;                       // the queue of the latest queue report that located one
    std::vector<std::pair<std::string, float>> saturating_;  // in insertion order, one per name
    std::optional<std::uint8_t> named_;                      // the hop of the latest degradation
    std::optional<std::uint8_t> located_before_;             // the hop the previous evaluation diagnosed
    struct Doubt {
        std::uint64_t since_ts;
        std::uint64_t latest_ts;
    };
    // By hop: the reports that said its router was in doubt.
    std::map<std::uint8_t, Doubt> doubted_routers_;
    std::optional<std::uint64_t> route_changed_ts_;  // of the latest route change
};

}  // namespace tarnvale::engines::aggregator
