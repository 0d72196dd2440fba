#include "engines/aggregator/diagnosis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "engines/aggregator/tail_probability.hpp"
#include "log/fill.hpp"

namespace tarnvale::engines::aggregator {

namespace {

constexpr double smallest_denominator = 2.220446049250313e-16;
constexpr double u32_max = std::numeric_limits<std::uint32_t>::max();

std::uint32_t clamp_to_u32(double value) {
    if (!(value > 0)) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::min(value, u32_max));
}

std::string whole_number(float value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.0f", static_cast<double>(value));
    return buffer;
}

double share_lost(Counts counts) {
    return counts.outcomes == 0 ? 0.0 : static_cast<double>(counts.lost) / static_cast<double>(counts.outcomes);
}

double percent_lost(Counts counts) { return 100.0 * share_lost(counts); }

// What a located loss rests on, for the user to check against the hop figures:
// the loss of the hops that show it (of their probes alone where no ping
// counted, as on a path of a balanced route behind where it parts), and of
// the hop in front of where it begins.
std::string evidence_sentence(const std::vector<HopEvidence>& path, const std::vector<std::size_t>& showing,
                              std::size_t first) {
    Counts shown;
    bool pinged = false;
    for (const std::size_t index : showing) {
        shown = shown + path[index].answers();
        pinged = pinged || (!path[index].probes_alone && path[index].total.echoes.outcomes > 0);
    }
    const char* kinds = pinged ? "probes and pings" : "probes";
    const std::uint8_t lowest = path[showing.front()].hop;
    const std::uint8_t highest = path[showing.back()].hop;
    std::string sentence =
        lowest == highest ? log::fill_message(" Evidence: hop {} loses {} % of its {}", lowest,
                                              whole_number(static_cast<float>(percent_lost(shown))), kinds)
                          : log::fill_message(" Evidence: hops {}\xE2\x80\x93{} lose {} % of their {}", lowest, highest,
                                              whole_number(static_cast<float>(percent_lost(shown))), kinds);
    const auto declines = [&sentence](std::uint8_t hop) {
        sentence += log::fill_message(", hop {} more, answers of its own that it declines", hop);
    };
    if (lowest != path[first].hop) {
        declines(path[first].hop);
    }
    if (showing.back() + 1 < path.size()) {
        declines(path.back().hop);  // the last hop, set aside
    }
    if (first > 0) {
        sentence += log::fill_message("; hop {} loses {} %", path[first - 1].hop,
                                      whole_number(static_cast<float>(percent_lost(path[first - 1].answers()))));
    }
    return sentence + ".";
}

// Which of a balanced route's paths a loss lies on: the path's router at
// `hop`, and its share of the paths and of the probe flows.
std::string branch_sentence(const std::vector<Branch>& branches, std::size_t index, std::uint8_t hop) {
    std::size_t flows = 0;
    for (const Branch& branch : branches) {
        flows += branch.flows.size();
    }
    return log::fill_message(" The loss is on 1 of {} paths, through {} ({} of {} probe flows took it).",
                             branches.size(), branches[index].routers.at(hop), branches[index].flows.size(), flows);
}

}  // namespace

std::optional<TrendFit> fit_trend(const HopHistory& history) {
    const auto& samples = history.samples;
    if (samples.size() < 3) {
        return std::nullopt;
    }
    const auto n = static_cast<double>(samples.size());
    double sx = 0;
    double sy = 0;
    double sxx = 0;
    double sxy = 0;
    for (const auto& [t, loss] : samples) {
        sx += t;
        sy += loss;
        sxx += t * t;
        sxy += t * loss;
    }
    const double denominator = n * sxx - sx * sx;
    if (std::abs(denominator) < smallest_denominator) {
        return std::nullopt;
    }
    const double slope = (n * sxy - sx * sy) / denominator;
    const std::uint32_t minutes = clamp_to_u32(std::ceil((samples.back().t - samples.front().t) / 60.0));
    return TrendFit{slope, std::max<std::uint32_t>(minutes, 1), static_cast<float>(samples.back().loss)};
}

std::uint32_t eta_to_threshold(float loss_now, double slope) {
    const float remaining = std::max(static_cast<float>(loss_threshold_pct) - loss_now, 0.0f);
    return clamp_to_u32(std::round(static_cast<double>(remaining) / slope));
}

std::string severity_for(float loss_now, std::uint32_t eta_s) {
    if (static_cast<double>(loss_now) >= loss_threshold_pct || eta_s <= 120) {
        return "high";
    }
    return eta_s <= 300 ? "medium" : "low";
}

void DiagnosisState::apply(const AggregatorReport& report) {
    if (const auto* loss = std::get_if<HopLossReport>(&report)) {
        apply_hop_loss(*loss);
    } else if (const auto* bottleneck = std::get_if<BottleneckReport>(&report)) {
        if (bottleneck->bottleneck) {
            bottleneck_hop_ = bottleneck->hop;
        }
    } else if (const auto* flow = std::get_if<FlowLossReport>(&report)) {
        flows_.apply(*flow);
    } else if (const auto* change = std::get_if<RouteChangeReport>(&report)) {
        // The new router's evidence starts afresh; the hops behind it keep
        // their trends, but are judged only by what came since (see
        // window_since_change): their probes crossed the old router's links.
        histories_.erase(change->hop);
        doubted_routers_.erase(change->hop);
        route_changed_ts_ = change->ts;
    } else if (const auto* process = std::get_if<ProcessUplinkReport>(&report)) {
        std::erase_if(saturating_, [&](const auto& entry) { return entry.first == process->name; });
        if (process->saturating) {
            saturating_.emplace_back(process->name, process->mbps_up);
        }
    } else {
        const auto& queue = std::get<QueueReport>(report);
        queue_ = queue.hop == 0 ? std::nullopt : std::optional(queue);
    }
}

std::string severity_for_delay(float added_ms) {
    if (added_ms >= 150.0f) {
        return "high";
    }
    return added_ms >= 50.0f ? "medium" : "low";
}

void DiagnosisState::apply_hop_loss(const HopLossReport& report) {
    if (report.router_in_doubt) {
        doubted_routers_.try_emplace(report.hop, Doubt{report.ts, report.ts}).first->second.latest_ts = report.ts;
    } else {
        doubted_routers_.erase(report.hop);
    }
    record_report(histories_[report.hop], report.ts, static_cast<double>(report.loss_pct),
                  AnswerCounts{{report.outcomes_total, report.lost_total},
                               {report.echo_outcomes_total, report.echo_lost_total},
                               {report.tcp_outcomes_total, report.tcp_lost_total}});
}

std::pair<std::string, std::string> DiagnosisState::cause_for(std::uint8_t hop) const {
    if (hop == 1) {
        return {"hardware",
                "Packet loss is occurring at your local router (hop 1). Check your router or ethernet/wifi "
                "connection."};
    }
    if (behind_bottleneck(hop) && !saturating_.empty()) {
        return {"saturation",
                log::fill_message("Hop {} is a bandwidth bottleneck and your uplink is saturated by: {}. Throttling "
                                  "or pausing these processes should reduce packet loss.",
                                  hop, saturating_list())};
    }
    if (behind_bottleneck(hop)) {
        return {"congestion",
                log::fill_message("Hop {} is a bandwidth bottleneck. No local process is saturating the uplink "
                                  "\xE2\x80\x94 this is likely network congestion at your ISP or CDN.",
                                  hop)};
    }
    if (hop >= 4) {
        return {"unknown", log::fill_message("Packet loss trend detected at hop {}. Cause could not be determined from "
                                             "available data.",
                                             hop)};
    }
    return {"isp", log::fill_message("Packet loss is occurring at hop {}, likely within your ISP's infrastructure. "
                                     "This may be a transient issue.",
                                     hop)};
}

bool DiagnosisState::behind_bottleneck(std::uint8_t hop) const {
    return bottleneck_hop_ == hop || (queue_ && queue_->hop == hop);
}

std::string DiagnosisState::saturating_list() const {
    std::string processes;
    for (const auto& [name, mbps_up] : saturating_) {
        if (!processes.empty()) {
            processes += ", ";
        }
        processes += log::fill_message("{} ({} Mbps up)", name, whole_number(mbps_up));
    }
    return processes;
}

std::optional<LatencyDiagnosis> DiagnosisState::evaluate_latency() const {
    if (!queue_) {
        return std::nullopt;
    }
    const QueueReport& queue = *queue_;
    const float added_ms = queue.current_ms - queue.baseline_ms;
    const std::string added = whole_number(added_ms);
    std::string cause = saturating_.empty() ? "congestion" : "saturation";
    std::string detail =
        saturating_.empty() ? log::fill_message(
                                  "Round trips from hop {} on take {} ms longer than usual: a queue stands on the link "
                                  "in front of it. No local process is saturating the uplink \xE2\x80\x94 this is "
                                  "likely network congestion at your ISP or CDN.",
                                  queue.hop, added)
                            : log::fill_message(
                                  "Round trips from hop {} on take {} ms longer than usual: a queue stands on the link "
                                  "in front of it and your uplink is saturated by: {}. Throttling or pausing these "
                                  "processes should bring the delay down.",
                                  queue.hop, added, saturating_list());
    return LatencyDiagnosis{queue.hop, queue.addr,       queue.baseline_ms, queue.current_ms,
                            added_ms,  std::move(cause), std::move(detail), severity_for_delay(added_ms)};
}

std::vector<std::uint8_t> DiagnosisState::current_path() const {
    std::uint64_t newest = 0;
    for (const auto& [hop, history] : histories_) {
        newest = std::max(newest, newest_ts(history));
    }
    std::vector<std::uint8_t> path;
    for (const auto& [hop, history] : histories_) {  // in hop order
        if (newest_ts(history) + current_report_age_s >= newest) {
            path.push_back(hop);
        }
    }
    return path;
}

std::vector<HopEvidence> DiagnosisState::evidence(const std::vector<std::uint8_t>& path, std::uint64_t window_s) const {
    // Every hop counted up to the last hop's newest report, which ends its cycle.
    const std::uint64_t until = newest_ts(histories_.at(path.back()));
    std::vector<HopEvidence> evidence;
    for (const std::uint8_t hop : path) {
        evidence.push_back(windowed_evidence(histories_.at(hop), hop, until, window_since_change(until, window_s)));
    }
    return evidence;
}

std::uint64_t DiagnosisState::window_since_change(std::uint64_t until, std::uint64_t window_s) const {
    if (!route_changed_ts_) {
        return window_s;
    }
    return until > *route_changed_ts_ ? std::min(window_s, until - *route_changed_ts_) : 0;
}

HopHistory DiagnosisState::pooled_history(std::span<const std::uint8_t> hops) const {
    std::vector<const HopHistory*> histories;
    for (const std::uint8_t hop : hops) {
        histories.push_back(&histories_.at(hop));
    }
    return aggregator::pooled_history(histories);
}

std::optional<Diagnosis> DiagnosisState::locate(
    const PathEvidence& path, std::size_t lowest,
    const std::function<HopHistory(const std::vector<std::uint8_t>&)>& trend) const {
    // The lowest hop where a loss begins is the diagnosis or there is none: the
    // hops behind it carry the same loss, and a segment of them judged on its
    // own would name a hop past where the loss begins.
    std::optional<LossOnset> onset;
    std::size_t first = lowest;
    for (; first < path.hops.size() && !onset; ++first) {
        onset = loss_begins_at(path.window, first);
    }
    if (!onset) {
        return std::nullopt;
    }
    const std::vector<std::size_t>& showing = onset->showing;
    const std::size_t last = path.hops.size() - 1;
    // A loss that the last hop alone shows, with no TCP answer to confirm it,
    // is told from that hop's own limit on answers by its rise alone: over the
    // recent outcomes and over the last five minutes, for a chance rise in one split
    // comes every hour or so of a server's steady limit.
    if (showing == std::vector<std::size_t>{last} && !path.window[last].tcp_answered() &&
        !(loss_rose(path.window, path.recent, showing, location_error_rate) &&
          loss_rose(path.window, path.latter_half, showing, location_error_rate))) {
        return std::nullopt;  // as like as not the last hop's own limit on answers
    }
    const std::uint8_t hop = path.hops[first - 1];
    Counts now;
    std::vector<std::uint8_t> showing_hops;
    for (const std::size_t index : showing) {
        now = now + path.recent[index].answers();
        showing_hops.push_back(path.hops[index]);
    }
    // A loss is worth an event when what begins at the hop is clearly above
    // what the user need not be told of, or when it clearly rose to that: a
    // step to a loss a little above it shows as a rise minutes before the level
    // alone is sure at one probe and one ping per hop every sweep. What begins
    // there is what the hops showing it lose beyond the path in front (over the
    // window, the steadier figure): where every link loses a little, the loss
    // grows along the path, and the hops behind any of them lose more.
    const double noticeable = std::min(1.0, share_lost(onset->front.value_or(Counts{})) + noticeable_loss_share);
    const bool clearly_noticeable =
        now.outcomes > 0 && at_least_probability(now.lost, now.outcomes, noticeable) < event_error_rate;
    const bool rose = loss_rose(path.window, path.recent, showing, event_error_rate / 2) ||
                      loss_rose(path.window, path.latter_half, showing, event_error_rate / 2);
    const bool rose_to_noticeable =
        rose && static_cast<double>(now.lost) >= noticeable * static_cast<double>(now.outcomes);
    if (now.outcomes == 0 || !(clearly_noticeable || rose_to_noticeable)) {
        return std::nullopt;
    }
    const auto loss_now = static_cast<float>(100.0 * static_cast<double>(now.lost) / static_cast<double>(now.outcomes));
    const HopHistory trend_history = trend(showing_hops);
    const auto fit = fit_trend(trend_history);
    if (!fit || !(fit->slope > 0)) {
        return std::nullopt;
    }
    // Below the threshold the event foretells a crossing, which a steady loss's
    // trend, rising and falling by chance from one evaluation to the next, would
    // foretell every so often over hours. Once the trend reaches back past the
    // last five minutes, so that a rise can show, the loss must clearly have risen.
    const std::uint32_t eta = eta_to_threshold(loss_now, fit->slope);
    const bool rise_can_show =
        trend_history.samples.back().t - trend_history.samples.front().t > static_cast<double>(latter_half_window_s);
    if (static_cast<double>(loss_now) < loss_threshold_pct &&
        (eta > max_eta_for_event_s || (rise_can_show && !rose))) {
        return std::nullopt;
    }
    auto [cause, detail] = cause_for(hop);
    detail += evidence_sentence(path.window, showing, first - 1);
    return Diagnosis{hop,
                     loss_now,
                     eta,
                     fit->minutes,
                     static_cast<float>(fit->slope * 60.0),
                     std::move(cause),
                     std::move(detail),
                     severity_for(loss_now, eta),
                     !clearly_noticeable || static_cast<double>(loss_now) < loss_threshold_pct};
}

namespace {

// On a balanced route, what a hop beyond the parting that other paths meet too
// (the target, a router where the branches join again) answers to echo
// requests and TCP probes may have crossed any of them: its probes alone, which
// take flow 0's, speak for flow 0's path there, and the others only confirm.
void keep_to_first_branch(DiagnosisState::PathEvidence& path, const std::vector<Branch>& branches) {
    std::optional<std::uint8_t> parting;
    for (std::size_t index = 1; index < branches.size(); ++index) {
        const auto hop = parting_hop(branches[index], branches.front());
        if (hop && (!parting || *hop < *parting)) {
            parting = hop;
        }
    }
    if (!parting) {
        return;
    }
    for (std::size_t index = 0; index < path.hops.size(); ++index) {
        const std::uint8_t hop = path.hops[index];
        const auto first = branches.front().routers.find(hop);
        const bool met_elsewhere = first != branches.front().routers.end() &&
                                   std::any_of(branches.begin() + 1, branches.end(), [&](const Branch& other) {
                                       const auto met = other.routers.find(hop);
                                       return met != other.routers.end() && met->second == first->second;
                                   });
        if (hop > *parting && met_elsewhere) {
            path.window[index].probes_alone = path.recent[index].probes_alone =
                path.latter_half[index].probes_alone = true;
        }
    }
}

// Judged over the whole window, whose evidence is the fullest, and held for
// the shorter spans too: a hop is judged by the same kinds of answers in each.
void judge_echo_advantages(DiagnosisState::PathEvidence& path) {
    aggregator::judge_echo_advantages(path.window);
    for (std::size_t index = 0; index < path.window.size(); ++index) {
        path.recent[index].echo_advantage_of_path = path.latter_half[index].echo_advantage_of_path =
            path.window[index].echo_advantage_of_path;
    }
}

}  // namespace

std::optional<Diagnosis> DiagnosisState::diagnose() const {
    const auto branches = flows_.branches();
    const auto path = current_path();
    if (path.empty()) {
        return diagnose_branches(branches);
    }
    PathEvidence evidence_of_path{path, evidence(path, evidence_window_s), evidence(path, recent_window_s),
                                  evidence(path, latter_half_window_s)};
    keep_to_first_branch(evidence_of_path, branches);
    judge_echo_advantages(evidence_of_path);
    auto diagnosis = locate(evidence_of_path, 0, [this](const auto& hops) { return pooled_history(hops); });
    if (!diagnosis) {
        return diagnose_branches(branches);
    }
    // Flow 0's own branch, when no other path meets the router where the loss begins.
    if (branches.size() < 2 || !branches.front().routers.contains(diagnosis->hop)) {
        return diagnosis;
    }
    const std::string& router = branches.front().routers.at(diagnosis->hop);
    const bool elsewhere = std::any_of(branches.begin() + 1, branches.end(), [&](const Branch& other) {
        const auto met = other.routers.find(diagnosis->hop);
        return met == other.routers.end() || met->second == router;
    });
    if (!elsewhere) {
        diagnosis->cause_detail += branch_sentence(branches, 0, diagnosis->hop);
    }
    return diagnosis;
}

std::optional<Diagnosis> DiagnosisState::diagnose_branches(const std::vector<Branch>& branches) const {
    const std::uint64_t until = flows_.newest_ts();
    for (std::size_t index = 1; index < branches.size(); ++index) {
        const Branch& branch = branches[index];
        const auto parting = parting_hop(branch, branches.front());
        if (!parting ||
            std::max(flows_.meeting_since(branch, *parting), flows_.meeting_since(branches.front(), *parting)) +
                    branch_settled_s >
                until) {
            continue;
        }
        // In front of the parting the branch shares flow 0's routers, whose
        // evidence (every flow's probes there, and the pinger's) is the fuller.
        PathEvidence path;
        std::size_t lowest = 0;
        for (const auto& [hop, router] : branch.routers) {
            const auto shared = histories_.find(hop);
            const bool in_front = hop < *parting && shared != histories_.end();
            if (hop < *parting) {
                ++lowest;
            }
            path.hops.push_back(hop);
            const auto hop_evidence = [&](std::uint64_t window_s) {
                const auto since = window_since_change(until, window_s);
                return in_front ? windowed_evidence(shared->second, hop, until, since)
                                : flows_.evidence(branch, hop, until, since);
            };
            path.window.push_back(hop_evidence(evidence_window_s));
            path.recent.push_back(hop_evidence(branch_recent_window_s));
            path.latter_half.push_back(hop_evidence(latter_half_window_s));
        }
        judge_echo_advantages(path);
        auto diagnosis =
            locate(path, lowest, [this, &branch](const auto& hops) { return flows_.pooled_history(branch, hops); });
        if (diagnosis) {
            diagnosis->cause_detail += branch_sentence(branches, index, *parting);
            return diagnosis;
        }
    }
    return std::nullopt;
}

bool DiagnosisState::router_in_doubt_up_to(std::uint8_t hop) const {
    return std::ranges::any_of(doubted_routers_, [hop](const auto& doubted) {
        return doubted.first <= hop && doubted.second.latest_ts < doubted.second.since_ts + router_doubt_wait_s;
    });
}

std::optional<Diagnosis> DiagnosisState::evaluate() {
    auto diagnosis = diagnose();
    if (diagnosis && router_in_doubt_up_to(diagnosis->hop)) {
        return std::nullopt;
    }
    const auto located = diagnosis ? std::optional(diagnosis->hop) : std::nullopt;
    const bool confirmed = located == named_ || located == located_before_ || (!named_ && !diagnosis->foretold);
    located_before_ = located;
    if (!diagnosis || !confirmed) {
        return std::nullopt;
    }
    named_ = located;
    return diagnosis;
}

}  // namespace tarnvale::engines::aggregator
