#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "engines/aggregator/aggregator.hpp"
#include "engines/aggregator/diagnosis.hpp"

namespace {

using namespace tarnvale::engines;
using namespace tarnvale::engines::aggregator;

constexpr std::uint64_t start_ts = 1'800'000'000;

// Feeds a hop's losses, one report every `step` seconds.
void feed(DiagnosisState& state, std::uint8_t hop, std::initializer_list<float> losses, std::uint64_t step = 30,
          std::uint64_t first_ts = start_ts) {
    std::uint64_t ts = first_ts;
    for (const float loss : losses) {
        state.apply(HopLossReport{ts, loss, hop});
        ts += step;
    }
}

TEST(DiagnosisTrend, EtaAndSeverityFromTheWorkedNumbers) {
    struct Case {
        std::initializer_list<float> losses;
        std::uint32_t eta;
        const char* severity;
    };
    const Case cases[] = {
        {{9.0f, 9.5f, 10.0f}, 300, "medium"},   // 1 point per minute from 10 %
        {{8.8f, 9.4f, 10.0f}, 250, "medium"},   // 1.2 points per minute
        {{7.0f, 8.5f, 10.0f}, 100, "high"},     // 3 points per minute
        {{14.0f, 15.0f, 16.0f}, 0, "high"},     // already past the threshold
    };
    for (const auto& c : cases) {
        DiagnosisState state;
        feed(state, 2, c.losses);
        const auto diagnosis = state.evaluate();
        ASSERT_TRUE(diagnosis.has_value());
        EXPECT_EQ(diagnosis->eta_s, c.eta);
        EXPECT_EQ(diagnosis->severity, c.severity);
        EXPECT_EQ(diagnosis->hop, 2);
        EXPECT_FLOAT_EQ(diagnosis->loss_now, *(c.losses.end() - 1));
    }
    EXPECT_EQ(severity_for(14.9f, 121), "medium");
    EXPECT_EQ(severity_for(14.9f, 301), "low");
    EXPECT_EQ(severity_for(15.0f, 600), "high");
}

TEST(DiagnosisTrend, NoEventBeyondTenMinutesFlatFallingOrTooFewSamples) {
    DiagnosisState slow;
    feed(slow, 2, {4.5f, 4.75f, 5.0f});  // 0.5 points per minute from 5 %: 1200 s away
    EXPECT_EQ(eta_to_threshold(5.0f, 0.5 / 60.0), 1200u);
    EXPECT_FALSE(slow.evaluate().has_value());

    DiagnosisState flat;
    feed(flat, 2, {100.0f, 100.0f, 100.0f});
    feed(flat, 3, {100.0f, 90.0f, 80.0f});
    EXPECT_FALSE(flat.evaluate().has_value());

    DiagnosisState two_samples;
    feed(two_samples, 2, {10.0f, 90.0f});
    EXPECT_FALSE(two_samples.evaluate().has_value());

    DiagnosisState same_instant;  // every sample at one time: no line can be fitted
    feed(same_instant, 2, {1.0f, 50.0f, 90.0f}, 0);
    EXPECT_FALSE(same_instant.evaluate().has_value());
}

TEST(DiagnosisTrend, TrendMinutesAndTheSlopePerMinute) {
    DiagnosisState one_minute;
    feed(one_minute, 2, {9.0f, 9.5f, 10.0f});  // spans 60 s
    EXPECT_EQ(one_minute.evaluate()->trend_min, 1u);
    EXPECT_NEAR(one_minute.evaluate()->trend_pct_per_min, 1.0f, 1e-5);

    DiagnosisState two_minutes;
    feed(two_minutes, 2, {9.0f, 9.5f, 10.0f}, 30, start_ts);
    two_minutes.apply(HopLossReport{start_ts + 61, 10.1f, 2});  // spans 61 s
    EXPECT_EQ(two_minutes.evaluate()->trend_min, 2u);
}

TEST(DiagnosisHistory, SamplesOlderThanTenMinutesAreDropped) {
    DiagnosisState state;
    feed(state, 4, {1.0f, 2.0f, 3.0f}, 300);  // ts 0, 300, 600 s: the first is exactly 600 s old
    EXPECT_EQ(state.histories().at(4).samples.size(), 3u);
    state.apply(HopLossReport{start_ts + 601, 4.0f, 4});
    const auto& samples = state.histories().at(4).samples;
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples.front().t, 300.0);
    EXPECT_EQ(state.histories().at(4).base_ts, start_ts);
}

TEST(DiagnosisChoice, TheLowestRisingHopThatMeetsTheRuleIsNamed) {
    DiagnosisState both;
    feed(both, 5, {7.0f, 8.5f, 10.0f});
    feed(both, 3, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(both.evaluate()->hop, 3);

    DiagnosisState faster_behind;  // loss starting at hop 2 shows steeper at hop 4 by noise
    feed(faster_behind, 2, {9.0f, 9.5f, 10.0f});
    feed(faster_behind, 4, {4.0f, 7.0f, 10.0f});
    EXPECT_EQ(faster_behind.evaluate()->hop, 2);
    EXPECT_EQ(faster_behind.evaluate()->eta_s, 300u);

    DiagnosisState lower_too_slow;
    feed(lower_too_slow, 2, {4.5f, 4.75f, 5.0f});
    feed(lower_too_slow, 3, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(lower_too_slow.evaluate()->hop, 3);
}

TEST(DiagnosisChoice, ALowerHopIsNamedOnlyOnceItsOwnTrendMeetsTheRule) {
    DiagnosisState noisy;  // hop 3's few probes ran low; hop 4 already meets the rule
    feed(noisy, 3, {0.0f, 0.5f, 1.0f});  // 1 point per minute from 1 %: 840 s away
    feed(noisy, 4, {1.0f, 2.0f, 3.0f});  // 2 points per minute from 3 %: 360 s away
    EXPECT_EQ(eta_to_threshold(1.0f, 1.0 / 60.0), 840u);
    const auto first = noisy.evaluate();
    EXPECT_EQ(first->hop, 4);
    EXPECT_EQ(first->eta_s, 360u) << "the named hop's own figures";
    EXPECT_EQ(first->cause, "unknown");

    feed(noisy, 3, {3.0f}, 30, start_ts + 90);  // hop 3 catches up: 1.9 points per minute from 3 %, 379 s
    const auto later = noisy.evaluate();
    EXPECT_EQ(later->hop, 3);
    EXPECT_EQ(later->cause, "isp");
    EXPECT_EQ(later->eta_s, 379u);
}

TEST(DiagnosisCause, SentencesForEveryCause) {
    DiagnosisState hardware;
    hardware.apply(BottleneckReport{1, true});
    feed(hardware, 1, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(hardware.evaluate()->cause, "hardware");
    EXPECT_EQ(hardware.evaluate()->cause_detail,
              "Packet loss is occurring at your local router (hop 1). Check your router or ethernet/wifi connection.");

    DiagnosisState saturation;
    saturation.apply(BottleneckReport{5, true});
    saturation.apply(BottleneckReport{5, false});  // does not clear it
    saturation.apply(ProcessUplinkReport{"a", 12.6f, true});
    saturation.apply(ProcessUplinkReport{"b", 3.4f, true});
    feed(saturation, 5, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(saturation.evaluate()->cause, "saturation");
    EXPECT_EQ(saturation.evaluate()->cause_detail,
              "Hop 5 is a bandwidth bottleneck and your uplink is saturated by: a (13 Mbps up), b (3 Mbps up). "
              "Throttling or pausing these processes should reduce packet loss.");
    saturation.apply(ProcessUplinkReport{"a", 20.0f, true});  // moves to the end
    EXPECT_NE(saturation.evaluate()->cause_detail.find("b (3 Mbps up), a (20 Mbps up)"), std::string::npos);
    saturation.apply(ProcessUplinkReport{"a", 0.0f, false});
    saturation.apply(ProcessUplinkReport{"b", 0.0f, false});

    EXPECT_EQ(saturation.evaluate()->cause, "congestion");
    EXPECT_EQ(saturation.evaluate()->cause_detail,
              "Hop 5 is a bandwidth bottleneck. No local process is saturating the uplink \xE2\x80\x94 this is likely "
              "network congestion at your ISP or CDN.");

    DiagnosisState unknown;
    unknown.apply(BottleneckReport{3, true});
    feed(unknown, 4, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(unknown.evaluate()->cause, "unknown");
    EXPECT_EQ(unknown.evaluate()->cause_detail,
              "Packet loss trend detected at hop 4. Cause could not be determined from available data.");

    DiagnosisState isp;
    feed(isp, 3, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(isp.evaluate()->cause, "isp");
    EXPECT_EQ(isp.evaluate()->cause_detail,
              "Packet loss is occurring at hop 3, likely within your ISP's infrastructure. This may be a transient "
              "issue.");
}

TEST(AggregatorTask, EndsSilentlyWhenTheReportQueueCloses) {
    asio::io_context io;
    auto reports = tarnvale::runtime::make_bounded_queue<AggregatorReport>(io.get_executor(), 4);
    auto events = tarnvale::runtime::make_bounded_queue<tarnvale::ipc::Event>(io.get_executor(), 4);
    reports->try_send(asio::error_code{}, HopLossReport{start_ts, 50.0f, 2});
    reports->close();
    bool ended = false;
    asio::co_spawn(asio::make_strand(io), run_aggregator(reports, tarnvale::ipc::EventSender(events)),
                   [&ended](std::exception_ptr error) { ended = (error == nullptr); });
    io.run_for(std::chrono::seconds(5));
    EXPECT_TRUE(ended);
    EXPECT_FALSE(events->ready());
}

}  // namespace
