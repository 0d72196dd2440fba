#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "ipc/events.hpp"
#include "json/compact_writer.hpp"

namespace {

using tarnvale::json::append_f32;
using tarnvale::json::append_string;

std::string f32(float value) {
    std::string out;
    append_f32(out, value);
    return out;
}

std::string quoted(std::string_view text) {
    std::string out;
    append_string(out, text);
    return out;
}

TEST(F32Writing, FixedNotationAcrossTheExponentRange) {
    EXPECT_EQ(f32(3.0f), "3.0");
    EXPECT_EQ(f32(0.05f), "0.05");
    EXPECT_EQ(f32(0.1f), "0.1");
    EXPECT_EQ(f32(12.0f), "12.0");
    EXPECT_EQ(f32(12.5f), "12.5");
    EXPECT_EQ(f32(1.5e6f), "1500000.0");
    EXPECT_EQ(f32(123456789.0f), "123456790.0");
    EXPECT_EQ(f32(0.001f), "0.001");
    EXPECT_EQ(f32(2.5e-6f), "0.0000025");
    EXPECT_EQ(f32(14.285715f), "14.285715");
    EXPECT_EQ(f32(1.0f / 7.0f * 100.0f), "14.285715");
    EXPECT_EQ(f32(-12.5f), "-12.5");
}

TEST(F32Writing, ExponentNotationOutsideTheFixedRange) {
    EXPECT_EQ(f32(1e13f), "1e+13");
    EXPECT_EQ(f32(1.25e-7f), "1.25e-7");
    EXPECT_EQ(f32(9.999999e12f), "9999999000000.0");  // exponent 12: still fixed
    EXPECT_EQ(f32(1e-6f), "0.000001");                // exponent -6: still fixed
    EXPECT_EQ(f32(9.9e-7f), "9.9e-7");
    EXPECT_EQ(f32(-3.5e20f), "-3.5e+20");
    EXPECT_EQ(f32(std::numeric_limits<float>::denorm_min()), "1e-45");
    EXPECT_EQ(f32(std::numeric_limits<float>::max()), "3.4028235e+38");
}

TEST(F32Writing, ZerosAndNonFiniteValues) {
    EXPECT_EQ(f32(0.0f), "0.0");
    EXPECT_EQ(f32(-0.0f), "-0.0");
    EXPECT_EQ(f32(std::numeric_limits<float>::quiet_NaN()), "null");
    EXPECT_EQ(f32(std::numeric_limits<float>::infinity()), "null");
    EXPECT_EQ(f32(-std::numeric_limits<float>::infinity()), "null");
}

TEST(F32Writing, EveryWrittenValueReadsBackToTheSameFloat) {
    std::mt19937 random(12345);
    for (int i = 0; i < 100000; ++i) {
        const auto bits = static_cast<std::uint32_t>(random());
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) {
            continue;
        }
        const std::string text = f32(value);
        const float back = std::strtof(text.c_str(), nullptr);
        ASSERT_EQ(back, value) << text;
    }
}

TEST(StringWriting, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(quoted("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(quoted("\b\f\n\r\t"), R"("\b\f\n\r\t")");
    EXPECT_EQ(quoted(std::string_view("\x00\x01\x1f", 3)), R"("\u0000\u0001\u001f")");
    EXPECT_EQ(quoted("/\x7f"), "\"/\x7f\"");
}

TEST(StringWriting, KeepsUtf8AndReplacesInvalidBytes) {
    EXPECT_EQ(quoted("caf\xC3\xA9 \xF0\x9F\x98\x80"), "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
    EXPECT_EQ(quoted("a\xFF" "b"), "\"a\xEF\xBF\xBD" "b\"");
    EXPECT_EQ(quoted("\xC3"), "\"\xEF\xBF\xBD\"");
    EXPECT_EQ(quoted("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");  // a surrogate
}

TEST(EventWriting, EveryKindInMemberOrder) {
    using namespace tarnvale::ipc;
    EXPECT_EQ(serialize(Event{AckEvent{"stop_engine", true, std::nullopt}}),
              R"({"type":"ack","cmd":"stop_engine","ok":true})");
    EXPECT_EQ(serialize(Event{AckEvent{"SHUTDOWN", false, "unknown command"}}),
              R"({"type":"ack","cmd":"SHUTDOWN","ok":false,"error":"unknown command"})");
    EXPECT_EQ(serialize(Event{HopLossEvent{1700000000, 3, "198.51.100.6", 25.0f, 1.5f, 0.0f, true}}),
              R"({"type":"hop_loss","ts":1700000000,"hop":3,"addr":"198.51.100.6","loss_pct":25.0,)"
              R"("rtt_ms":1.5,"prev_loss_pct":0.0,"is_localized":true})");
    EXPECT_EQ(serialize(Event{BwEstimateEvent{5, 1, "", 2.24f, 2.24f, false, {"medium", 1.792f, 2.688f, 3}}}),
              R"({"type":"bw_estimate","ts":5,"hop":1,"addr":"","mbps":2.24,"baseline_mbps":2.24,)"
              R"("bottleneck":false,"confidence":{"level":"medium","p05_mbps":1.792,"p95_mbps":2.688,)"
              R"("sample_count":3}})");
    EXPECT_EQ(serialize(Event{AppTrafficEvent{7, 42, "my \"app\"", 10.0f, 0.05f, 0.75f, true}}),
              R"({"type":"app_traffic","ts":7,"pid":42,"name":"my \"app\"","mbps_up":10.0,)"
              R"("mbps_down":0.05,"loss_share":0.75,"saturating":true})");
    EXPECT_EQ(serialize(Event{DegradationEvent{9, "warning", 2, std::nullopt, "isp", "detail", std::nullopt,
                                               7.5f, 1.25f}}),
              R"({"type":"degradation","ts":9,"severity":"warning","trend_min":2,"eta_drop_sec":null,)"
              R"("cause":"isp","cause_detail":"detail","affected_hop":null,"loss_now_pct":7.5,)"
              R"("loss_trend_pct_per_min":1.25})");
    EXPECT_EQ(serialize(Event{DegradationEvent{9, "critical", 1, 300u, "hardware", "d", std::uint8_t{1}, 15.0f,
                                               3.0f}}),
              R"({"type":"degradation","ts":9,"severity":"critical","trend_min":1,"eta_drop_sec":300,)"
              R"("cause":"hardware","cause_detail":"d","affected_hop":1,"loss_now_pct":15.0,)"
              R"("loss_trend_pct_per_min":3.0})");
    EXPECT_EQ(serialize(Event{HopDelayEvent{9, 2, "198.51.100.2", 0.5f, 80.5f, 80.0f, true}}),
              R"({"type":"hop_delay","ts":9,"hop":2,"addr":"198.51.100.2","baseline_ms":0.5,"current_ms":80.5,)"
              R"("added_ms":80.0,"behind_queue":true})");
    EXPECT_EQ(serialize(Event{LatencyEvent{9, "medium", "congestion", "d", 2, "198.51.100.2", 0.5f, 80.5f, 80.0f}}),
              R"({"type":"latency","ts":9,"severity":"medium","cause":"congestion","cause_detail":"d",)"
              R"("affected_hop":2,"addr":"198.51.100.2","baseline_ms":0.5,"current_ms":80.5,"added_ms":80.0})");
    EXPECT_EQ(serialize(Event{RouteChangeEvent{9, 3, "198.51.100.6", "2001:db8:100:2::2"}}),
              R"({"type":"route_change","ts":9,"hop":3,"old_addr":"198.51.100.6","new_addr":"2001:db8:100:2::2"})");
    EXPECT_EQ(serialize(Event{FlowBwEvent{9, 3, 2, "198.51.100.246", 1.0f, 2.24f, true, 2}}),
              R"({"type":"flow_bw","ts":9,"flow":3,"hop":2,"addr":"198.51.100.246","mbps":1.0,)"
              R"("baseline_mbps":2.24,"bottleneck":true,"sample_count":2})");
    EXPECT_EQ(serialize(Event{UnownedTrafficEvent{9, "unknown", 4.0f, 0.5f, 0.0f, true}}),
              R"({"type":"unowned_traffic","ts":9,"owner":"unknown","mbps_up":4.0,"mbps_down":0.5,)"
              R"("loss_share":0.0,"saturating":true})");
    EXPECT_EQ(serialize(Event{HopCountsEvent{9, 3, "198.51.100.6", 12, 2, {4.5f, 5.0f}}}),
              R"({"type":"hop_counts","ts":9,"hop":3,"addr":"198.51.100.6","probes":12,"lost":2,)"
              R"("rtt_ms":[4.5,5.0]})");
    EXPECT_EQ(serialize(Event{HopCountsEvent{9, 3, "198.51.100.6", 1, 1, {}}}),
              R"({"type":"hop_counts","ts":9,"hop":3,"addr":"198.51.100.6","probes":1,"lost":1,"rtt_ms":[]})");
    EXPECT_EQ(serialize(Event{PathStatusEvent{9, "hop", "no_route", "no route to 203.0.113.10"}}),
              R"({"type":"path_status","ts":9,"engine":"hop","status":"no_route",)"
              R"("detail":"no route to 203.0.113.10"})");
    EXPECT_EQ(serialize(Event{ErrorEvent{11, "capture", "ENGINE_STUB", "msg", false}}),
              R"({"type":"error","ts":11,"engine":"capture","code":"ENGINE_STUB","message":"msg","fatal":false})");
}

TEST(EventWriting, CapsWithAndWithoutErrorAndFacts) {
    using namespace tarnvale::ipc;
    EXPECT_EQ(serialize(Caps{"1.0", {"capture", "hop", "bw", "attr"}, "1.0.0", std::nullopt, std::nullopt}),
              R"({"type":"caps","version":"1.0","engines":["capture","hop","bw","attr"],"proto_version":"1.0.0"})");
    EXPECT_EQ(serialize(Caps{"1.0", {}, "1.0", "version mismatch: requested 2.0, supports 1.0", std::nullopt}),
              R"({"type":"caps","version":"1.0","engines":[],"proto_version":"1.0",)"
              R"("error":"version mismatch: requested 2.0, supports 1.0"})");
    // The facts follow the other members, in their declared order.
    const ProbeFacts facts{15.0f, 7000, 1650, 54500, 2.24f, 1000};
    EXPECT_EQ(serialize(Caps{"1.0", {"capture", "hop"}, "1.0.0", std::nullopt, facts}),
              R"({"type":"caps","version":"1.0","engines":["capture","hop"],"proto_version":"1.0.0",)"
              R"("loss_threshold_pct":15.0,"hop_report_ms":7000,"bw_first_estimate_ms":1650,"bw_sweep_ms":54500,)"
              R"("train_rate_mbps":2.24,"attr_cycle_ms":1000})");
}

}  // namespace
