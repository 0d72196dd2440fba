#include "ipc/events.hpp"

#include <chrono>

#include "json/compact_writer.hpp"

namespace tarnvale::ipc {

namespace {

// Builds one object member by member; the first member opens it.
class ObjectWriter {
public:
    explicit ObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }

    ObjectWriter& string(std::string_view name, std::string_view value) {
        key(name);
        json::append_string(out_, value);
        return *this;
    }
    ObjectWriter& u64(std::string_view name, std::uint64_t value) {
        key(name);
        json::append_u64(out_, value);
        return *this;
    }
    ObjectWriter& f32(std::string_view name, float value) {
        key(name);
        json::append_f32(out_, value);
        return *this;
    }
    ObjectWriter& boolean(std::string_view name, bool value) {
        key(name);
        json::append_bool(out_, value);
        return *this;
    }
    ObjectWriter& optional_u64(std::string_view name, std::optional<std::uint64_t> value) {
        key(name);
        if (value) {
            json::append_u64(out_, *value);
        } else {
            out_.append("null");
        }
        return *this;
    }
    ObjectWriter& f32_array(std::string_view name, const std::vector<float>& values) {
        key(name);
        out_.push_back('[');
        for (std::size_t index = 0; index < values.size(); ++index) {
            if (index > 0) {
                out_.push_back(',');
            }
            json::append_f32(out_, values[index]);
        }
        out_.push_back(']');
        return *this;
    }
    // Opens a nested object as the next member; the caller closes it.
    std::string& nested(std::string_view name) {
        key(name);
        return out_;
    }
    void close() { out_.push_back('}'); }

private:
    void key(std::string_view name) {
        if (!first_) {
            out_.push_back(',');
        }
        first_ = false;
        json::append_key(out_, name);
    }

    std::string& out_;
    bool first_ = true;
};

void write(ObjectWriter& w, const HopLossEvent& e) {
    w.string("type", "hop_loss")
        .u64("ts", e.ts)
        .u64("hop", e.hop)
        .string("addr", e.addr)
        .f32("loss_pct", e.loss_pct)
        .f32("rtt_ms", e.rtt_ms)
        .f32("prev_loss_pct", e.prev_loss_pct)
        .boolean("is_localized", e.is_localized);
}

void write(ObjectWriter& w, const BwEstimateEvent& e) {
    w.string("type", "bw_estimate")
        .u64("ts", e.ts)
        .u64("hop", e.hop)
        .string("addr", e.addr)
        .f32("mbps", e.mbps)
        .f32("baseline_mbps", e.baseline_mbps)
        .boolean("bottleneck", e.bottleneck);
    ObjectWriter confidence(w.nested("confidence"));
    confidence.string("level", e.confidence.level)
        .f32("p05_mbps", e.confidence.p05_mbps)
        .f32("p95_mbps", e.confidence.p95_mbps)
        .u64("sample_count", e.confidence.sample_count)
        .close();
}

void write(ObjectWriter& w, const AppTrafficEvent& e) {
    w.string("type", "app_traffic")
        .u64("ts", e.ts)
        .u64("pid", e.pid)
        .string("name", e.name)
        .f32("mbps_up", e.mbps_up)
        .f32("mbps_down", e.mbps_down)
        .f32("loss_share", e.loss_share)
        .boolean("saturating", e.saturating);
}

void write(ObjectWriter& w, const DegradationEvent& e) {
    w.string("type", "degradation")
        .u64("ts", e.ts)
        .string("severity", e.severity)
        .u64("trend_min", e.trend_min)
        .optional_u64("eta_drop_sec", e.eta_drop_sec)
        .string("cause", e.cause)
        .string("cause_detail", e.cause_detail)
        .optional_u64("affected_hop", e.affected_hop)
        .f32("loss_now_pct", e.loss_now_pct)
        .f32("loss_trend_pct_per_min", e.loss_trend_pct_per_min);
}

void write(ObjectWriter& w, const HopDelayEvent& e) {
    w.string("type", "hop_delay")
        .u64("ts", e.ts)
        .u64("hop", e.hop)
        .string("addr", e.addr)
        .f32("baseline_ms", e.baseline_ms)
        .f32("current_ms", e.current_ms)
        .f32("added_ms", e.added_ms)
        .boolean("behind_queue", e.behind_queue);
}

void write(ObjectWriter& w, const LatencyEvent& e) {
    w.string("type", "latency")
        .u64("ts", e.ts)
        .string("severity", e.severity)
        .string("cause", e.cause)
        .string("cause_detail", e.cause_detail)
        .u64("affected_hop", e.affected_hop)
        .string("addr", e.addr)
        .f32("baseline_ms", e.baseline_ms)
        .f32("current_ms", e.current_ms)
        .f32("added_ms", e.added_ms);
}

void write(ObjectWriter& w, const HopUnsentEvent& e) {
    w.string("type", "hop_unsent")
        .u64("ts", e.ts)
        .u64("hop", e.hop)
        .string("addr", e.addr)
        .u64("sent", e.sent)
        .u64("unsent", e.unsent);
}

void write(ObjectWriter& w, const RouteChangeEvent& e) {
    w.string("type", "route_change")
        .u64("ts", e.ts)
        .u64("hop", e.hop)
        .string("old_addr", e.old_addr)
        .string("new_addr", e.new_addr);
}

void write(ObjectWriter& w, const FlowLossEvent& e) {
    w.string("type", "flow_loss")
        .u64("ts", e.ts)
        .u64("flow", e.flow)
        .u64("hop", e.hop)
        .string("addr", e.addr)
        .f32("loss_pct", e.loss_pct)
        .f32("rtt_ms", e.rtt_ms);
}

void write(ObjectWriter& w, const FlowBwEvent& e) {
    w.string("type", "flow_bw")
        .u64("ts", e.ts)
        .u64("flow", e.flow)
        .u64("hop", e.hop)
        .string("addr", e.addr)
        .f32("mbps", e.mbps)
        .f32("baseline_mbps", e.baseline_mbps)
        .boolean("bottleneck", e.bottleneck)
        .u64("sample_count", e.sample_count);
}

void write(ObjectWriter& w, const UnownedTrafficEvent& e) {
    w.string("type", "unowned_traffic")
        .u64("ts", e.ts)
        .string("owner", e.owner)
        .f32("mbps_up", e.mbps_up)
        .f32("mbps_down", e.mbps_down)
        .f32("loss_share", e.loss_share)
        .boolean("saturating", e.saturating);
}

void write(ObjectWriter& w, const HopCountsEvent& e) {
    w.string("type", "hop_counts")
        .u64("ts", e.ts)
        .u64("hop", e.hop)
        .string("addr", e.addr)
        .u64("probes", e.probes)
        .u64("lost", e.lost)
        .f32_array("rtt_ms", e.rtt_ms);
}

void write(ObjectWriter& w, const PathStatusEvent& e) {
    w.string("type", "path_status")
        .u64("ts", e.ts)
        .string("engine", e.engine)
        .string("status", e.status)
        .string("detail", e.detail);
}

void write(ObjectWriter& w, const ErrorEvent& e) {
    w.string("type", "error")
        .u64("ts", e.ts)
        .string("engine", e.engine)
        .string("code", e.code)
        .string("message", e.message)
        .boolean("fatal", e.fatal);
}

void write(ObjectWriter& w, const AckEvent& e) {
    w.string("type", "ack").string("cmd", e.cmd).boolean("ok", e.ok);
    if (e.error) {
        w.string("error", *e.error);
    }
}

}  // namespace

std::string serialize(const Event& event) {
    std::string out;
    out.reserve(128);
    ObjectWriter writer(out);
    std::visit([&writer](const auto& e) { write(writer, e); }, event);
    writer.close();
    return out;
}

std::string serialize(const Caps& caps) {
    std::string out;
    out.reserve(128);
    ObjectWriter writer(out);
    writer.string("type", "caps").string("version", caps.version);
    std::string& engines = writer.nested("engines");
    engines.push_back('[');
    for (std::size_t i = 0; i < caps.engines.size(); ++i) {
        if (i > 0) {
            engines.push_back(',');
        }
        json::append_string(engines, caps.engines[i]);
    }
    engines.push_back(']');
    writer.string("proto_version", caps.proto_version);
    if (caps.error) {
        writer.string("error", *caps.error);
    }
    if (caps.facts) {
        writer.f32("loss_threshold_pct", caps.facts->loss_threshold_pct)
            .u64("hop_report_ms", caps.facts->hop_report_ms)
            .u64("bw_first_estimate_ms", caps.facts->bw_first_estimate_ms)
            .u64("bw_sweep_ms", caps.facts->bw_sweep_ms)
            .f32("train_rate_mbps", caps.facts->train_rate_mbps)
            .u64("attr_cycle_ms", caps.facts->attr_cycle_ms);
    }
    writer.close();
    return out;
}

std::uint64_t unix_seconds_now() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

}  // namespace tarnvale::ipc
