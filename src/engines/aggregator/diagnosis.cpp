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

std::uint64_t newest_ts(const HopHistory& history) {
    return history.samples.empty() ? 0 : history.base_ts + static_cast<std::uint64_t>(history.samples.back().t);
}

double percent_lost(Counts counts) {
    return counts.outcomes == 0 ? 0.0 : 100.0 * static_cast<double>(counts.lost) / static_cast<double>(counts.outcomes);
}

// What a located loss rests on, for the user to check against the hop figures:
// the loss of the hops that show it, and of the hop in front of where it begins.
std::string evidence_sentence(const std::vector<HopEvidence>& path, const std::vector<std::size_t>& showing,
                              std::size_t first) {
    Counts shown;
    for (const std::size_t index : showing) {
        shown = shown + path[index].answers();
    }
    const std::uint8_t lowest = path[showing.front()].hop;
    const std::uint8_t highest = path[showing.back()].hop;
    std::string sentence =
        lowest == highest ? log::fill_message(" Evidence: hop {} loses {} % of its probes and pings", lowest,
                                              whole_number(static_cast<float>(percent_lost(shown))))
                          : log::fill_message(" Evidence: hops {}\xE2\x80\x93{} lose {} % of their probes and pings",
                                              lowest, highest, whole_number(static_cast<float>(percent_lost(shown))));
    if (lowest != path[first].hop) {
        sentence += log::fill_message(", hop {} more, answers of its own that it declines", path[first].hop);
    }
    if (first > 0) {
        sentence += log::fill_message("; hop {} loses {} %", path[first - 1].hop,
                                      whole_number(static_cast<float>(percent_lost(path[first - 1].answers()))));
    }
    return sentence + ".";
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
    } else if (const auto* change = std::get_if<RouteChangeReport>(&report)) {
        histories_.erase(change->hop);  // the new router's evidence starts afresh
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
    const auto [entry, created] = histories_.try_emplace(report.hop);
    HopHistory& history = entry->second;
    const auto loss = static_cast<double>(report.loss_pct);
    const AnswerCounts counts{{report.outcomes_total, report.lost_total},
                              {report.echo_outcomes_total, report.echo_lost_total},
                              {report.tcp_outcomes_total, report.tcp_lost_total}};
    if (created) {
        history.base_ts = report.ts;
        history.samples.push_back({0.0, loss});
        history.totals.push_back({0.0, counts});
        return;
    }
    const double t = report.ts < history.base_ts ? 0.0 : static_cast<double>(report.ts - history.base_ts);
    history.samples.push_back({t, loss});
    const auto counted_less = [](Counts now, Counts before) {
        return now.outcomes < before.outcomes || now.lost < before.lost;
    };
    if (!history.totals.empty()) {
        const AnswerCounts& before = history.totals.back().counts;
        if (counted_less(counts.probes, before.probes) || counted_less(counts.echoes, before.echoes) ||
            counted_less(counts.tcp, before.tcp)) {
            history.totals.clear();  // counted by a hop engine started since
        }
    }
    history.totals.push_back({t, counts});
    const double newest_kept = static_cast<double>(report.ts < history_span_s ? 0 : report.ts - history_span_s);
    const double cutoff = newest_kept - static_cast<double>(history.base_ts);
    std::erase_if(history.samples, [cutoff](const LossSample& sample) { return sample.t < cutoff; });
    std::erase_if(history.totals, [cutoff](const OutcomeTotals& totals) { return totals.t < cutoff; });
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
    const auto since_counts = [](Counts end, Counts start) {
        return Counts{end.outcomes - std::min(start.outcomes, end.outcomes), end.lost - std::min(start.lost, end.lost)};
    };
    const auto since = [&since_counts](const OutcomeTotals& end, const OutcomeTotals& start) {
        return AnswerCounts{since_counts(end.counts.probes, start.counts.probes),
                            since_counts(end.counts.echoes, start.counts.echoes),
                            since_counts(end.counts.tcp, start.counts.tcp)};
    };
    std::vector<HopEvidence> evidence;
    for (const std::uint8_t hop : path) {
        const HopHistory& history = histories_.at(hop);
        if (history.totals.empty()) {
            evidence.push_back({hop, {}, {}});
            continue;
        }
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
        HopEvidence hop_evidence{hop, since(totals[end], totals[start]), {}};
        for (std::size_t index = start + 1; index <= end; ++index) {
            hop_evidence.intervals.push_back(since(totals[index], totals[index - 1]));
        }
        evidence.push_back(std::move(hop_evidence));
    }
    return evidence;
}

HopHistory DiagnosisState::pooled_history(std::span<const std::uint8_t> hops) const {
    // Mean loss of the hops at each report time all of them reported at.
    std::map<std::uint64_t, std::pair<double, std::size_t>> by_time;
    for (const std::uint8_t hop : hops) {
        const HopHistory& history = histories_.at(hop);
        for (const LossSample& sample : history.samples) {
            auto& [sum, count] = by_time[history.base_ts + static_cast<std::uint64_t>(sample.t)];
            sum += sample.loss;
            ++count;
        }
    }
    HopHistory pooled;
    for (const auto& [ts, sum_and_count] : by_time) {
        const auto& [sum, count] = sum_and_count;
        if (count != hops.size()) {
            continue;
        }
        if (pooled.samples.empty()) {
            pooled.base_ts = ts;
        }
        pooled.samples.push_back({static_cast<double>(ts - pooled.base_ts), sum / static_cast<double>(count)});
    }
    return pooled;
}

std::optional<Diagnosis> DiagnosisState::diagnose() const {
    const auto path = current_path();
    if (path.empty()) {
        return std::nullopt;
    }
    // The lowest hop where a loss begins is the diagnosis or there is none: the
    // hops behind it carry the same loss, and a segment of them judged on its
    // own would name a hop past where the loss begins.
    const auto hops = evidence(path, evidence_window_s);
    std::optional<std::vector<std::size_t>> showing;
    std::size_t first = 0;
    for (; first < path.size() && !showing; ++first) {
        showing = loss_begins_at(hops, first);
    }
    if (!showing) {
        return std::nullopt;
    }
    const std::uint8_t hop = path[first - 1];
    const auto recent = evidence(path, recent_window_s);
    Counts now;
    std::vector<std::uint8_t> showing_hops;
    for (const std::size_t index : *showing) {
        now = now + recent[index].answers();
        showing_hops.push_back(path[index]);
    }
    if (now.outcomes == 0 || at_least_probability(now.lost, now.outcomes, noticeable_loss_share) >= event_error_rate) {
        return std::nullopt;
    }
    const auto loss_now = static_cast<float>(100.0 * static_cast<double>(now.lost) / static_cast<double>(now.outcomes));
    const auto fit = fit_trend(pooled_history(showing_hops));
    if (!fit || !(fit->slope > 0)) {
        return std::nullopt;
    }
    const std::uint32_t eta = eta_to_threshold(loss_now, fit->slope);
    if (static_cast<double>(loss_now) < loss_threshold_pct && eta > max_eta_for_event_s) {
        return std::nullopt;
    }
    auto [cause, detail] = cause_for(hop);
    detail += evidence_sentence(hops, *showing, first - 1);
    return Diagnosis{hop,
                     loss_now,
                     eta,
                     fit->minutes,
                     static_cast<float>(fit->slope * 60.0),
                     std::move(cause),
                     std::move(detail),
                     severity_for(loss_now, eta)};
}

std::optional<Diagnosis> DiagnosisState::evaluate() {
    auto diagnosis = diagnose();
    const auto located = diagnosis ? std::optional(diagnosis->hop) : std::nullopt;
    const bool confirmed = !named_ || located == named_ || located == located_before_;
    located_before_ = located;
    if (!diagnosis || !confirmed) {
        return std::nullopt;
    }
    named_ = located;
    return diagnosis;
}

}  // namespace tarnvale::engines::aggregator
