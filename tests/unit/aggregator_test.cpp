#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <cmath>
#include <vector>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "engines/aggregator/aggregator.hpp"
#include "engines/aggregator/diagnosis.hpp"

namespace {

using namespace tarnvale::engines;
using namespace tarnvale::engines::aggregator;

constexpr std::uint64_t start_ts = 1'800'000'000;

// Feeds a hop's losses, one report every `step` seconds, each report adding
// `outcomes` probe outcomes of which its loss share were lost.
void feed(DiagnosisState& state, std::uint8_t hop, std::initializer_list<float> losses, std::uint64_t step = 30,
          std::uint64_t first_ts = start_ts, std::uint64_t outcomes = 100) {
    std::uint64_t ts = first_ts;
    for (const float loss : losses) {
        OutcomeTotals previous{0, 0, 0};
        if (const auto found = state.histories().find(hop);
            found != state.histories().end() && !found->second.totals.empty()) {
            previous = found->second.totals.back();
        }
        const auto lost = static_cast<std::uint64_t>(std::lround(loss / 100.0f * static_cast<float>(outcomes)));
        state.apply(HopLossReport{ts, loss, hop, previous.outcomes + outcomes, previous.lost + lost});
        ts += step;
    }
}

// Feeds every hop of a path the same way, hop 1 first.
void feed_path(DiagnosisState& state, const std::vector<std::vector<float>>& hops, std::uint64_t outcomes,
               std::uint64_t step = 30) {
    for (std::size_t i = 0; i < hops.size(); ++i) {
        std::uint64_t ts = start_ts;
        for (const float loss : hops[i]) {
            feed(state, static_cast<std::uint8_t>(i + 1), {loss}, step, ts, outcomes);
            ts += step;
        }
    }
}

TEST(DiagnosisTrend, EtaIsTheTimeToFifteenPercentAndSeverityFollowsIt) {
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
    const auto within_a_minute = one_minute.evaluate();
    ASSERT_TRUE(within_a_minute.has_value());
    EXPECT_EQ(within_a_minute->trend_min, 1u);
    EXPECT_NEAR(within_a_minute->trend_pct_per_min, 1.0f, 1e-5);

    DiagnosisState two_minutes;
    feed(two_minutes, 2, {9.0f, 9.5f, 10.0f}, 30, start_ts);
    feed(two_minutes, 2, {10.1f}, 30, start_ts + 61);  // spans 61 s
    const auto over_a_minute = two_minutes.evaluate();
    ASSERT_TRUE(over_a_minute.has_value());
    EXPECT_EQ(over_a_minute->trend_min, 2u);
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

TEST(DiagnosisChoice, ANoisyLowerHopIsNamedOnTheEvidenceOfTheHopsBehindIt) {
    // Loss begins on the link in front of hop 3. Hop 3's own few probes ran low
    // and its own trend does not meet the rule; hop 4's does. Together they
    // show one loss, and hop 2 clearly less.
    DiagnosisState state;
    feed_path(state,
              {{0, 0, 0, 0, 0, 0, 0, 0},
               {0, 0, 0, 0, 0, 0, 0, 0},
               {0, 5, 10, 5, 5, 10, 5, 5},
               {0, 5, 10, 15, 15, 20, 20, 25}},
              20);
    HopHistory hop_3_alone;
    hop_3_alone.samples = state.histories().at(3).samples;
    const auto own = fit_trend(hop_3_alone);
    ASSERT_TRUE(own.has_value());
    EXPECT_GT(eta_to_threshold(own->loss_now, own->slope), max_eta_for_event_s) << "hop 3 alone meets no rule";

    const auto diagnosis = state.evaluate();
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 3);
    EXPECT_EQ(diagnosis->cause, "isp");
    EXPECT_FLOAT_EQ(diagnosis->loss_now, 15.0f) << "the mean of hops 3 and 4";
    EXPECT_EQ(diagnosis->eta_s, 0u);
    EXPECT_EQ(diagnosis->severity, "high");
}

TEST(DiagnosisChoice, AHopWhoseLossStopsAtTheNextHopIsNotNamed) {
    // Hop 2's router answers fewer and fewer of its probes; everything it
    // forwards arrives, so hops 3 and 4 lose nothing.
    DiagnosisState declining;
    feed_path(declining,
              {{0, 0, 0, 0, 0, 0, 0, 0},
               {0, 10, 20, 30, 40, 45, 50, 55},
               {0, 0, 0, 0, 0, 0, 0, 0},
               {0, 0, 0, 0, 0, 0, 0, 0}},
              20);
    EXPECT_FALSE(declining.evaluate().has_value());

    // The same at the first hop: the host's own link loses nothing either.
    DiagnosisState first;
    feed_path(first, {{0, 10, 20, 30, 40, 45, 50, 55}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}}, 20);
    EXPECT_FALSE(first.evaluate().has_value());

    // A declining router in front of real loss is not where the loss begins.
    DiagnosisState both;
    feed_path(both,
              {{0, 0, 0, 0, 0, 0, 0, 0},
               {0, 20, 40, 50, 60, 60, 70, 70},
               {0, 5, 10, 15, 15, 20, 20, 25},
               {0, 5, 10, 15, 20, 20, 25, 25}},
              20);
    ASSERT_TRUE(both.evaluate().has_value());
    EXPECT_EQ(both.evaluate().value().hop, 3);
}

TEST(DiagnosisChoice, WhenTheTargetIsSilentTheLastHopThatAnswersTakesItsPlace) {
    // Hops 1-3 answer, the target never does; loss begins in front of hop 3. A
    // hop 6 reported once at the start (before the path was known) is stale.
    DiagnosisState state;
    feed(state, 6, {10.0f, 60.0f, 90.0f}, 1, start_ts - 300);
    feed_path(state,
              {{0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 5, 10, 10, 15, 15, 20, 25}},
              20);
    const auto diagnosis = state.evaluate();
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 3);
    EXPECT_FLOAT_EQ(diagnosis->loss_now, 25.0f);

    // Loss in front of the first hop that every hop shares is the host's own link.
    DiagnosisState local;
    feed_path(local, {{0, 5, 10, 20, 20, 25, 25, 30}, {0, 10, 10, 15, 25, 20, 30, 25},
                      {0, 5, 10, 15, 20, 25, 20, 30}},
              20);
    ASSERT_TRUE(local.evaluate().has_value());
    EXPECT_EQ(local.evaluate().value().hop, 1);
    EXPECT_EQ(local.evaluate().value().cause, "hardware");
}

TEST(DiagnosisChoice, OnlyTheLastTenMinutesOfOutcomesCount) {
    // For ten minutes loss began in front of hop 2; it has gone, and loss now
    // rises from hop 3 on. Hop 2's old losses no longer count against it.
    DiagnosisState state;
    std::vector<std::vector<float>> hops(3);
    for (int report = 0; report < 40; ++report) {
        const bool earlier = report < 20;
        const float rising = static_cast<float>(report - 19);
        hops[0].push_back(0);
        hops[1].push_back(earlier ? 50.0f : 0.0f);
        hops[2].push_back(earlier ? 50.0f : std::max(rising, 0.0f));
    }
    feed_path(state, hops, 20, 29);  // no report exactly ten minutes before the newest
    const auto diagnosis = state.evaluate();
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 3);
}

TEST(DiagnosisChoice, TooFewOutcomesToTellWhereLossBeginsGiveNoEvent) {
    // The same shape as a loss beginning at hop 3, but with two probes a report:
    // hop 2's clean record could be chance, so nothing is named yet.
    DiagnosisState state;
    feed_path(state, {{0, 0, 0}, {0, 0, 0}, {0, 50, 50}, {0, 50, 50}}, 2);
    EXPECT_FALSE(state.evaluate().has_value());
}

TEST(DiagnosisCause, SentencesForEveryCause) {
    DiagnosisState hardware;
    hardware.apply(BottleneckReport{1, true});
    feed(hardware, 1, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(hardware.evaluate().value().cause, "hardware");
    EXPECT_EQ(hardware.evaluate().value().cause_detail,
              "Packet loss is occurring at your local router (hop 1). Check your router or ethernet/wifi connection.");

    DiagnosisState saturation;
    saturation.apply(BottleneckReport{5, true});
    saturation.apply(BottleneckReport{5, false});  // does not clear it
    saturation.apply(ProcessUplinkReport{"a", 12.6f, true});
    saturation.apply(ProcessUplinkReport{"b", 3.4f, true});
    feed(saturation, 5, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(saturation.evaluate().value().cause, "saturation");
    EXPECT_EQ(saturation.evaluate().value().cause_detail,
              "Hop 5 is a bandwidth bottleneck and your uplink is saturated by: a (13 Mbps up), b (3 Mbps up). "
              "Throttling or pausing these processes should reduce packet loss.");
    saturation.apply(ProcessUplinkReport{"a", 20.0f, true});  // moves to the end
    EXPECT_NE(saturation.evaluate().value().cause_detail.find("b (3 Mbps up), a (20 Mbps up)"), std::string::npos);
    saturation.apply(ProcessUplinkReport{"a", 0.0f, false});
    saturation.apply(ProcessUplinkReport{"b", 0.0f, false});

    EXPECT_EQ(saturation.evaluate().value().cause, "congestion");
    EXPECT_EQ(saturation.evaluate().value().cause_detail,
              "Hop 5 is a bandwidth bottleneck. No local process is saturating the uplink \xE2\x80\x94 this is likely "
              "network congestion at your ISP or CDN.");

    DiagnosisState unknown;
    unknown.apply(BottleneckReport{3, true});
    feed(unknown, 4, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(unknown.evaluate().value().cause, "unknown");
    EXPECT_EQ(unknown.evaluate().value().cause_detail,
              "Packet loss trend detected at hop 4. Cause could not be determined from available data.");

    DiagnosisState isp;
    feed(isp, 3, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(isp.evaluate().value().cause, "isp");
    EXPECT_EQ(isp.evaluate().value().cause_detail,
              "Packet loss is occurring at hop 3, likely within your ISP's infrastructure. This may be a transient "
              "issue.");
}

TEST(DiagnosisLatency, ALocatedQueueIsDiagnosedUntilAReportLocatesNone) {
    DiagnosisState state;
    EXPECT_FALSE(state.evaluate_latency());
    state.apply(QueueReport{start_ts, 2, "198.51.100.2", 4.5f, 186.0f});
    auto latency = state.evaluate_latency().value();
    EXPECT_EQ(latency.hop, 2);
    EXPECT_EQ(latency.addr, "198.51.100.2");
    EXPECT_EQ(latency.cause, "congestion");
    EXPECT_EQ(latency.severity, "high");
    EXPECT_FLOAT_EQ(latency.added_ms, 181.5f);
    EXPECT_EQ(latency.cause_detail,
              "Round trips from hop 2 on take 182 ms longer than usual: a queue stands on the link in front of it. "
              "No local process is saturating the uplink \xE2\x80\x94 this is likely network congestion at your ISP "
              "or CDN.");
    state.apply(ProcessUplinkReport{"iperf3", 48.4f, true});
    state.apply(QueueReport{start_ts + 7, 2, "198.51.100.2", 4.5f, 64.0f});
    latency = state.evaluate_latency().value();
    EXPECT_EQ(latency.cause, "saturation");
    EXPECT_EQ(latency.severity, "medium");
    EXPECT_EQ(latency.cause_detail,
              "Round trips from hop 2 on take 60 ms longer than usual: a queue stands on the link in front of it and "
              "your uplink is saturated by: iperf3 (48 Mbps up). Throttling or pausing these processes should bring "
              "the delay down.");
    state.apply(QueueReport{start_ts + 14, 0, "", 0, 0});
    EXPECT_FALSE(state.evaluate_latency());
    EXPECT_EQ(severity_for_delay(49.9f), "low");
}

TEST(DiagnosisLatency, LossBehindALocatedQueueTakesTheBottleneckCause) {
    DiagnosisState state;
    state.apply(QueueReport{start_ts, 3, "198.51.100.6", 4.5f, 86.0f});
    feed(state, 3, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(state.evaluate().value().cause, "congestion");
    state.apply(ProcessUplinkReport{"iperf3", 48.4f, true});
    EXPECT_EQ(state.evaluate().value().cause, "saturation");
    state.apply(QueueReport{start_ts + 60, 0, "", 0, 0});
    EXPECT_EQ(state.evaluate().value().cause, "isp") << "the queue has cleared";
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
