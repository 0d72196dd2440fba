#include "engines/aggregator/aggregator.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <cmath>
#include <map>
#include <vector>

#include "engines/aggregator/diagnosis.hpp"
#include "engines/aggregator/evaluation_schedule.hpp"
#include "engines/aggregator/tail_probability.hpp"

namespace {

using namespace tarnvale::engines;
using namespace tarnvale::engines::aggregator;

constexpr std::uint64_t start_ts = 1'800'000'000;

// What the pinger's echo requests to a hop's router met, report by report: none
// sent, lost as the probes were, or lost at given shares; and whether the hop
// is a target whose TCP answers are lost as its probes are.
struct Echoes {
    bool sent = false;
    std::vector<float> losses;  // empty: as the probes
    bool tcp = false;
    std::vector<float> tcp_losses = {};  // empty: as the probes
};
const Echoes no_echoes{};
const Echoes echoes_alike{true, {}};
// A target that answers pings and TCP probes: a loss it alone shows is confirmed.
const Echoes target_alike{true, {}, true};

// Feeds a hop's losses, one report every `step` seconds, each report adding
// `outcomes` probe outcomes of which its loss share were lost, and as many echo
// outcomes as `echoes` says.
void feed(DiagnosisState& state, std::uint8_t hop, std::initializer_list<float> losses, std::uint64_t step = 30,
          std::uint64_t first_ts = start_ts, std::uint64_t outcomes = 100, const Echoes& echoes = target_alike) {
    std::uint64_t ts = first_ts;
    std::size_t report = 0;
    for (const float loss : losses) {
        OutcomeTotals previous{0, {}};
        if (const auto found = state.histories().find(hop);
            found != state.histories().end() && !found->second.totals.empty()) {
            previous = found->second.totals.back();
        }
        const auto lost_of = [outcomes](float share) {
            return static_cast<std::uint64_t>(std::lround(share / 100.0f * static_cast<float>(outcomes)));
        };
        const float echo_loss = report < echoes.losses.size() ? echoes.losses[report] : loss;
        const float tcp_loss = report < echoes.tcp_losses.size() ? echoes.tcp_losses[report] : loss;
        const std::uint64_t echo_outcomes = echoes.sent ? outcomes : 0;
        const AnswerCounts& before = previous.counts;
        const std::uint64_t tcp_outcomes = echoes.tcp ? outcomes : 0;
        state.apply(HopLossReport{ts, loss, hop, before.probes.outcomes + outcomes, before.probes.lost + lost_of(loss),
                                  before.echoes.outcomes + echo_outcomes,
                                  before.echoes.lost + (echoes.sent ? lost_of(echo_loss) : 0),
                                  before.tcp.outcomes + tcp_outcomes, before.tcp.lost + (echoes.tcp ? lost_of(tcp_loss) : 0)});
        ts += step;
        ++report;
    }
}

// Feeds every hop of a path the same way, hop 1 first; `echoes` by hop, none
// where not given.
void feed_path(DiagnosisState& state, const std::vector<std::vector<float>>& hops, std::uint64_t outcomes,
               std::uint64_t step = 30, const std::map<std::size_t, Echoes>& echoes = {}) {
    for (std::size_t i = 0; i < hops.size(); ++i) {
        const auto hop = static_cast<std::uint8_t>(i + 1);
        const Echoes& echoed = echoes.contains(hop) ? echoes.at(hop) : no_echoes;
        std::uint64_t ts = start_ts;
        for (std::size_t report = 0; report < hops[i].size(); ++report) {
            const auto this_report = [report](const std::vector<float>& losses) {
                return report < losses.size() ? std::vector<float>{losses[report]} : std::vector<float>{};
            };
            const Echoes one{echoed.sent, this_report(echoed.losses), echoed.tcp, this_report(echoed.tcp_losses)};
            feed(state, hop, {hops[i][report]}, step, ts, outcomes, one);
            ts += step;
        }
    }
}

// What the second of two evaluations running tells: a loss still below 15 %
// is told only when both find it.
std::optional<Diagnosis> told(DiagnosisState& state) {
    state.evaluate();
    return state.evaluate();
}

// `first` reports at one loss, then `second` reports at another.
std::vector<float> step_of(std::size_t first, float before, std::size_t second, float after) {
    std::vector<float> losses(first, before);
    losses.insert(losses.end(), second, after);
    return losses;
}

// The diagnosis simulation keeps this schedule too, so the times it measures
// to the first event are the probe's.
TEST(EvaluationSchedule, OncePerPeriodAtThePauseAfterTheReportsAndLatencyAtOnce) {
    using std::chrono::milliseconds;
    const auto start = EvaluationSchedule::Clock::time_point{} + std::chrono::hours(1);
    EvaluationSchedule schedule(start);
    EXPECT_EQ(schedule.wait(start), evaluation_period);
    EXPECT_FALSE(schedule.take_evaluation(start + milliseconds(29'900), true)) << "no sooner than a period after start";
    EXPECT_FALSE(schedule.take_evaluation(start + milliseconds(31'000), false)) << "a report, not a pause";
    EXPECT_EQ(schedule.wait(start + milliseconds(31'000)), report_pause);
    EXPECT_TRUE(schedule.take_evaluation(start + milliseconds(31'200), true));
    EXPECT_EQ(schedule.wait(start + milliseconds(31'200)), evaluation_period);
    EXPECT_FALSE(schedule.take_evaluation(start + milliseconds(60'000), true)) << "a period after the last one";
    EXPECT_TRUE(schedule.take_evaluation(start + milliseconds(61'200), true));

    EXPECT_TRUE(schedule.take_latency(start + milliseconds(5'000))) << "the first located queue at once";
    EXPECT_FALSE(schedule.take_latency(start + milliseconds(34'000)));
    EXPECT_TRUE(schedule.take_latency(start + milliseconds(35'000)));
}

TEST(DiagnosisTrend, EtaIsTheTimeToFifteenPercentAndSeverityFollowsIt) {
    // The loss now is what the last 45 s of outcomes measure: with a report
    // every two minutes, the last report's.
    struct Case {
        std::initializer_list<float> losses;
        std::uint64_t step;
        std::uint32_t eta;
        const char* severity;
        float loss_now;
    };
    const Case cases[] = {
        {{6.0f, 8.0f, 10.0f}, 120, 300, "medium", 10.0f},      // 1 point per minute from 10 %
        {{5.2f, 7.6f, 10.0f}, 120, 250, "medium", 10.0f},      // 1.2 points per minute
        {{6.0f, 8.0f, 10.0f, 12.0f}, 40, 80, "high", 11.0f},   // 3 points per minute, 11 % over the last two reports
        {{12.0f, 14.0f, 16.0f}, 120, 0, "high", 16.0f},        // already past the threshold
    };
    for (const auto& c : cases) {
        DiagnosisState state;
        feed(state, 2, c.losses, c.step, start_ts, 200);
        const auto diagnosis = told(state);
        ASSERT_TRUE(diagnosis.has_value());
        EXPECT_EQ(diagnosis->eta_s, c.eta);
        EXPECT_EQ(diagnosis->severity, c.severity);
        EXPECT_EQ(diagnosis->hop, 2);
        EXPECT_FLOAT_EQ(diagnosis->loss_now, c.loss_now);
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
    const auto within_a_minute = told(one_minute);
    ASSERT_TRUE(within_a_minute.has_value());
    EXPECT_EQ(within_a_minute->trend_min, 1u);
    EXPECT_NEAR(within_a_minute->trend_pct_per_min, 1.0f, 1e-5);

    DiagnosisState two_minutes;
    feed(two_minutes, 2, {9.0f, 9.5f, 10.0f}, 30, start_ts);
    feed(two_minutes, 2, {10.1f}, 30, start_ts + 61);  // spans 61 s
    const auto over_a_minute = told(two_minutes);
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

    const auto diagnosis = told(state);
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 3);
    EXPECT_EQ(diagnosis->cause, "isp");
    EXPECT_FLOAT_EQ(diagnosis->loss_now, 13.75f) << "hops 3 and 4 over their last 45 s: 11 of 80";
    EXPECT_EQ(diagnosis->eta_s, 20u) << "their mean loss rising 3.75 points a minute";
    EXPECT_EQ(diagnosis->severity, "high");
    EXPECT_TRUE(
        diagnosis->cause_detail.ends_with(" Evidence: hops 3\xE2\x80\x93"
                                          "4 lose 11 % of their probes; hop 2 loses 0 %."))
        << "no ping was counted: " << diagnosis->cause_detail;
}

// One more report of every hop at `ts`, hop 1 first, each adding `outcomes`
// probe outcomes lost at its share; the routers of `doubted` hops in doubt.
void feed_round(DiagnosisState& state, const std::vector<float>& losses, std::uint64_t ts, std::uint64_t outcomes,
                std::initializer_list<std::uint8_t> doubted = {}) {
    for (std::size_t i = 0; i < losses.size(); ++i) {
        const auto hop = static_cast<std::uint8_t>(i + 1);
        AnswerCounts before;
        if (const auto found = state.histories().find(hop);
            found != state.histories().end() && !found->second.totals.empty()) {
            before = found->second.totals.back().counts;
        }
        HopLossReport report{ts, losses[i], hop, before.probes.outcomes + outcomes,
                             before.probes.lost + static_cast<std::uint64_t>(
                                                      std::lround(losses[i] / 100.0f * static_cast<float>(outcomes)))};
        report.router_in_doubt = std::find(doubted.begin(), doubted.end(), hop) != doubted.end();
        state.apply(report);
    }
}

TEST(DiagnosisRouteChange, NoLossIsLocatedAtOrBehindARouterInDoubtForAMinute) {
    // Loss begins in front of hop 3.
    DiagnosisState state;
    feed_path(state,
              {{0, 0, 0, 0, 0, 0, 0, 0},
               {0, 0, 0, 0, 0, 0, 0, 0},
               {0, 5, 10, 15, 15, 20, 20, 25},
               {0, 5, 10, 15, 15, 20, 20, 25}},
              20);
    const std::vector<float> losses{0, 0, 25, 25};
    std::uint64_t ts = start_ts + 8 * 30;
    feed_round(state, losses, ts, 20, {3});
    EXPECT_FALSE(state.evaluate().has_value()) << "hop 3's router may be being replaced";

    ts += 30;
    feed_round(state, losses, ts, 20, {4});
    auto named = state.evaluate();
    ASSERT_TRUE(named.has_value()) << "a router in doubt behind the loss does not move it";
    EXPECT_EQ(named->hop, 3);

    for (std::uint64_t waited_s = 0; waited_s < router_doubt_wait_s; waited_s += 30) {
        ts += 30;
        feed_round(state, losses, ts, 20, {2});
        EXPECT_FALSE(state.evaluate().has_value()) << waited_s << " s in doubt";
    }
    ts += 30;
    feed_round(state, losses, ts, 20, {2});
    named = state.evaluate();
    ASSERT_TRUE(named.has_value()) << "a router that stays in doubt is no change; the loss is named again";
    EXPECT_EQ(named->hop, 3);
}

TEST(DiagnosisChoice, ALossALittleAboveTheFloorIsToldByItsRiseWhenTwoEvaluationsRunningFindIt) {
    // Hops 2 and 3 lose nothing for five minutes, then a tenth of their probes
    // for five. Ten outcomes a report: over the last 45 s 4 of 40 are lost,
    // not clearly above the 5 % the user need not hear of, and no more than
    // in the minutes before; but the window's second half loses 20 of 200
    // where its first half lost none.
    const std::vector<float> before(10, 0.0f);
    std::vector<float> stepped = before;
    stepped.insert(stepped.end(), 10, 10.0f);
    DiagnosisState step;
    feed_path(step, {std::vector<float>(20, 0.0f), stepped, stepped}, 10);
    EXPECT_FALSE(step.evaluate().has_value()) << "one evaluation is too few to place a loss this thin";
    feed_round(step, {0.0f, 10.0f, 10.0f}, start_ts + 20 * 30, 10);
    const auto named = step.evaluate();
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(named->hop, 2);
    EXPECT_FLOAT_EQ(named->loss_now, 10.0f);

    // The same tenth lost all along never rose: no event, however often asked,
    // though the reports' recent loss wavers upwards (6 to 14 %, one probe of
    // ten lost in each report all the same).
    std::vector<float> wavering;
    for (int report = 0; report < 24; ++report) {
        wavering.push_back(6.0f + 8.0f * static_cast<float>(report) / 23.0f);
    }
    DiagnosisState steady;
    feed_path(steady, {std::vector<float>(20, 0.0f), {wavering.begin(), wavering.begin() + 20},
                       {wavering.begin(), wavering.begin() + 20}}, 10);
    for (std::size_t report = 20; report < wavering.size(); ++report) {
        feed_round(steady, {0.0f, wavering[report], wavering[report]}, start_ts + report * 30, 10);
        EXPECT_FALSE(steady.evaluate().has_value()) << "evaluation after report " << report;
    }
}

TEST(DiagnosisChoice, ALossStillBelowFifteenPercentIsToldWhenTwoEvaluationsRunningFindIt) {
    // Hops 2 and 3 lose a step of 12 %, clearly above 5 % over 100 outcomes a
    // report: a forecast of 15 %, which chance would make of a steady loss
    // every so often over hours, so it waits for a second evaluation.
    const std::vector<float> clean(20, 0.0f);
    DiagnosisState below;
    feed_path(below, {clean, step_of(10, 0, 10, 12), step_of(10, 0, 10, 12)}, 100);
    EXPECT_FALSE(below.evaluate().has_value());
    feed_round(below, {0.0f, 12.0f, 12.0f}, start_ts + 20 * 30, 100);
    const auto named = below.evaluate();
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(named->hop, 2);

    // A loss already past 15 % is told at once.
    DiagnosisState above;
    feed_path(above, {clean, step_of(10, 0, 10, 30), step_of(10, 0, 10, 30)}, 100);
    const auto at_once = above.evaluate();
    ASSERT_TRUE(at_once.has_value());
    EXPECT_EQ(at_once->hop, 2);
}

TEST(DiagnosisChoice, ASteadyLossBelowTheThresholdIsNotForetoldToCrossItByAWaveringTrend) {
    // Hops 2 and 3 lose a tenth of 100 outcomes in every report, clearly above
    // 5 %, while the hop figures they report waver upwards from 6 to 14 %: a
    // trend that foretells 15 % within ten minutes, from the same loss all along.
    DiagnosisState steady;
    for (std::uint64_t report = 0; report < 24; ++report) {
        const float wavering = 6.0f + 8.0f * static_cast<float>(report) / 23.0f;
        const std::uint64_t sent = (report + 1) * 100;
        steady.apply(HopLossReport{start_ts + report * 30, 0.0f, 1, sent, 0});
        for (const std::uint8_t hop : {std::uint8_t{2}, std::uint8_t{3}}) {
            steady.apply(HopLossReport{start_ts + report * 30, wavering, hop, sent, sent / 10});
        }
        if (report >= 20) {
            EXPECT_FALSE(steady.evaluate().has_value()) << "evaluation after report " << report;
        }
    }
}

TEST(DiagnosisChoice, AHopWhoseLossStopsAtTheNextHopIsNotNamed) {
    // Hop 2's router answers fewer and fewer of its probes; everything it
    // forwards arrives, so hops 3 and 4 lose nothing.
    DiagnosisState declining;
    feed_path(
        declining,
        {{0, 0, 0, 0, 0, 0, 0, 0}, {0, 10, 20, 30, 40, 45, 50, 55}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
        20);
    EXPECT_FALSE(declining.evaluate().has_value());

    // The same at the first hop: the host's own link loses nothing either.
    DiagnosisState first;
    feed_path(first, {{0, 10, 20, 30, 40, 45, 50, 55}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}}, 20);
    EXPECT_FALSE(first.evaluate().has_value());
}

TEST(DiagnosisChoice, ADecliningRouterWhereLossBeginsKeepsTheBlameUnlessItsEchoesClearIt) {
    // Hop 2 declines more and more answers, and hops 3 and 4 lose a quarter.
    // Its probes alone cannot tell a loss in front of it from one behind it: it
    // is named, for a router declining answers would otherwise pass a loss on
    // its own link on to the next hop.
    const std::vector<std::vector<float>> path{{0, 0, 0, 0, 0, 0, 0, 0},
                                               {0, 20, 40, 50, 60, 60, 70, 70},
                                               {0, 5, 10, 15, 15, 20, 20, 25},
                                               {0, 5, 10, 15, 20, 20, 25, 25}};
    DiagnosisState probes_only;
    feed_path(probes_only, path, 20);
    ASSERT_TRUE(probes_only.evaluate().has_value());
    EXPECT_EQ(probes_only.evaluate().value().hop, 2);

    // Its echo replies lose nothing: the path to it is clean, the loss behind it.
    DiagnosisState clean_echoes;
    feed_path(clean_echoes, path, 20, 30, {{2, Echoes{true, {0, 0, 0, 0, 0, 0, 0, 0}}}});
    ASSERT_TRUE(clean_echoes.evaluate().has_value());
    EXPECT_EQ(clean_echoes.evaluate().value().hop, 3);

    // Its echo replies lose as much as the hops behind it: the loss is in front of it.
    DiagnosisState lossy_echoes;
    feed_path(lossy_echoes, path, 20, 30, {{2, Echoes{true, path[3]}}});
    ASSERT_TRUE(lossy_echoes.evaluate().has_value());
    EXPECT_EQ(lossy_echoes.evaluate().value().hop, 2);
}

TEST(DiagnosisChoice, WhenTheTargetIsSilentTheLastHopThatAnswersTakesItsPlace) {
    // Hops 1-3 answer, the target never does; loss begins in front of hop 3. A
    // hop 6 reported once at the start (before the path was known) is stale.
    // Nothing behind hop 3 can confirm its loss: its echo replies must, and
    // its loss must have risen over the last 45 s and the last five minutes.
    const std::vector<float> clean(16, 0.0f);
    std::vector<float> rising(12, 0.0f);
    rising.insert(rising.end(), {15, 15, 20, 25});
    const std::vector<std::vector<float>> path{clean, clean, rising};
    DiagnosisState confirmed;
    feed(confirmed, 6, {10.0f, 60.0f, 90.0f}, 1, start_ts - 300);
    feed_path(confirmed, path, 20, 30, {{3, echoes_alike}});
    const auto diagnosis = confirmed.evaluate();
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 3);
    EXPECT_FLOAT_EQ(diagnosis->loss_now, 22.5f) << "its last 45 s of probes and echoes";

    // The same probes with echo replies that all come back: hop 3 limits its
    // Time Exceeded answers, and the path loses nothing.
    DiagnosisState limited;
    feed_path(limited, path, 20, 30, {{3, Echoes{true, clean}}});
    EXPECT_FALSE(limited.evaluate().has_value());

    // Without echo replies nothing confirms it.
    DiagnosisState unconfirmed;
    feed_path(unconfirmed, path, 20);
    EXPECT_FALSE(unconfirmed.evaluate().has_value());

    // A router that polices its answers and pings alike declines as many from
    // the start as at the end (a rising trend within that is chance): its own
    // limit, as like as not. A target's TCP answers, which no ICMP limit
    // touches, would show a loss all the same.
    const std::vector<std::vector<float>> policed{
        {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {55, 60, 50, 55, 55, 60, 60, 65}};
    DiagnosisState policing;
    feed_path(policing, policed, 20, 30, {{3, echoes_alike}});
    EXPECT_FALSE(policing.evaluate().has_value());
    DiagnosisState tcp_confirmed;
    feed_path(tcp_confirmed, policed, 20, 30, {{3, target_alike}});
    ASSERT_TRUE(tcp_confirmed.evaluate().has_value());
    EXPECT_EQ(tcp_confirmed.evaluate()->hop, 3);
}

TEST(DiagnosisChoice, ALastHopThatDeclinesAnswersOfItsOwnLeavesTheLossToTheHopsInFrontOfIt) {
    // A server that limits its ICMP to half shows a loss on the access line
    // on top of its own limit: hops 2 and 3 carry the loss, and hop 2 is named.
    const std::vector<float> clean(16, 0.0f);
    const std::vector<float> access_loss = step_of(8, 0, 8, 20);
    DiagnosisState limiting_server;
    feed_path(limiting_server, {clean, access_loss, access_loss, step_of(8, 50, 8, 60)}, 20, 30,
              {{4, echoes_alike}});
    const auto diagnosis = limiting_server.evaluate();
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 2);
    EXPECT_NE(diagnosis->cause_detail.find("hop 4 more, answers of its own that it declines"), std::string::npos)
        << diagnosis->cause_detail;

    // One router in front of such a server: only its own echo replies can
    // confirm its loss. Without them it may be declining answers of its own.
    const std::vector<std::vector<float>> one_in_front{clean, access_loss, std::vector<float>(16, 50.0f)};
    DiagnosisState declining;
    feed_path(declining, one_in_front, 20, 30, {{3, echoes_alike}});
    EXPECT_FALSE(declining.evaluate().has_value());
    DiagnosisState confirmed;
    feed_path(confirmed, one_in_front, 20, 30, {{2, echoes_alike}, {3, echoes_alike}});
    ASSERT_TRUE(confirmed.evaluate().has_value());
    EXPECT_EQ(confirmed.evaluate()->hop, 2);

    // A server's steady limit of 40 % wanders: a quiet spell, then two minutes
    // that lose 60 %. The last 45 s rose, the last five minutes did not: chance,
    // which over hours of evaluations would come time and again.
    std::vector<float> wandering = step_of(10, 40, 6, 25);
    wandering.insert(wandering.end(), 4, 60.0f);
    const std::vector<float> clean_longer(20, 0.0f);
    DiagnosisState wandering_limit;
    feed_path(wandering_limit, {clean_longer, clean_longer, wandering}, 20, 30, {{3, echoes_alike}});
    EXPECT_FALSE(wandering_limit.evaluate().has_value());
}

TEST(DiagnosisChoice, ALossIsPlacedWhereMostOfItBegins) {
    // A link that loses in bursts: far hops lose more than near ones behind
    // it, and hop 3 less than the rest. It still shows most of the loss,
    // which begins at hop 2.
    const std::vector<float> clean(16, 0.0f);
    DiagnosisState bursty;
    feed_path(bursty, {clean, step_of(8, 0, 8, 30), step_of(8, 0, 8, 22), step_of(8, 0, 8, 36), step_of(8, 0, 8, 38)},
              50);
    ASSERT_TRUE(bursty.evaluate().has_value());
    EXPECT_EQ(bursty.evaluate()->hop, 2);

    // Every link loses 1 % each way, so each hop a little more than the one
    // in front, and two minutes ago the link into hop 3 began to lose 20 %.
    // Neither hop 1 nor hop 2, each a little above the hop in front but far
    // below the hops behind, is where it begins; nor is hop 4 a last hop that
    // declines answers of its own because it loses a little more than hop 3.
    constexpr std::uint64_t outcomes = 14;
    const auto reports_losing = [](std::initializer_list<int> lost) {
        std::vector<float> losses;
        for (const int count : lost) {
            losses.push_back(100.0f * static_cast<float>(count) / static_cast<float>(outcomes));
        }
        return losses;
    };
    DiagnosisState background;
    feed_path(background,
              {reports_losing({0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0}),
               reports_losing({0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}),
               reports_losing({1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 3, 3, 3, 3}),
               reports_losing({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 4, 4, 4, 4})},
              outcomes);
    const auto diagnosis = background.evaluate();
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 3) << diagnosis->cause_detail;
}

TEST(DiagnosisChoice, WhatALossAddsToThePathInFrontIsWhatMustBeWorthTelling) {
    // Hop 2 loses 1.5 % throughout; for the last three minutes hops 3 and 4
    // lose 5.5 %: a loss begins at hop 3 and rose, but it adds 4 % to the
    // path's, which no user need be told of, though the hops showing it lose
    // more than 5 %.
    constexpr std::uint64_t outcomes = 1000;
    const std::vector<float> clean(8, 0.0f);
    const std::vector<float> front(8, 1.5f);
    DiagnosisState small_addition;
    feed_path(small_addition, {clean, front, step_of(2, 1.5f, 6, 5.5f), step_of(2, 1.5f, 6, 5.5f)}, outcomes);
    EXPECT_FALSE(small_addition.evaluate().has_value());
    EXPECT_FALSE(small_addition.evaluate().has_value()) << "nor when a second evaluation finds it";

    // Adding 20 % is worth telling.
    DiagnosisState large_addition;
    feed_path(large_addition, {clean, front, step_of(2, 1.5f, 6, 21.5f), step_of(2, 1.5f, 6, 21.5f)}, outcomes);
    const auto diagnosis = large_addition.evaluate();
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 3);
    EXPECT_NEAR(diagnosis->loss_now, 21.5f, 0.5f) << "the loss the hops showing it lose";
}

TEST(DiagnosisChoice, EchoRepliesThatMissTheBurstsOfALossyLinkDoNotHideIt) {
    // The link into hop 3 loses in bursts from the ninth report on: the
    // probes of every hop behind it lose 20 %, but pings, which wait half a
    // second after a lost one, cross it between bursts and lose 2 %. The target's
    // TCP answers lose as the probes do. The loss begins at hop 3, though each
    // hop's echo replies lose clearly fewer than its probes.
    const std::vector<float> clean(16, 0.0f);
    const std::vector<float> bursty = step_of(8, 0, 8, 20);
    const Echoes missing_bursts{true, step_of(8, 0, 8, 2)};
    DiagnosisState state;
    feed_path(state, {clean, clean, bursty, bursty, bursty}, 50, 30,
              {{1, echoes_alike}, {2, echoes_alike}, {3, missing_bursts}, {4, missing_bursts},
               {5, Echoes{true, step_of(8, 0, 8, 2), true}}});
    const auto diagnosis = told(state);
    ASSERT_TRUE(diagnosis.has_value());
    EXPECT_EQ(diagnosis->hop, 3);

    // For the last minute and a half another prober has spent the Time
    // Exceeded answers of hops 3 and on, the target's too: their probes lose
    // 16 % while pings lose nothing, as behind a bursty link. The target's TCP
    // answers, which lose nothing either, show the path clean.
    const std::vector<float> spending = step_of(13, 0, 3, 16);
    DiagnosisState spent;
    feed_path(spent, {clean, clean, spending, spending, spending}, 20, 30,
              {{1, echoes_alike},
               {2, echoes_alike},
               {3, Echoes{true, clean}},
               {4, Echoes{true, clean}},
               {5, Echoes{true, clean, true, clean}}});
    EXPECT_FALSE(spent.evaluate().has_value());
    EXPECT_FALSE(spent.evaluate().has_value()) << "a loss told by its rise alone is named by the second evaluation";
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
    feed_path(state, hops, 20, 29, {{3, echoes_alike}});  // no report exactly ten minutes before the newest
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
    EXPECT_EQ(told(hardware).value().cause, "hardware");
    EXPECT_EQ(hardware.evaluate().value().cause_detail,
              "Packet loss is occurring at your local router (hop 1). Check your router or ethernet/wifi connection."
              " Evidence: hop 1 loses 10 % of its probes and pings.");

    DiagnosisState saturation;
    saturation.apply(BottleneckReport{5, true});
    saturation.apply(BottleneckReport{5, false});  // does not clear it
    saturation.apply(ProcessUplinkReport{"a", 12.6f, true});
    saturation.apply(ProcessUplinkReport{"b", 3.4f, true});
    feed(saturation, 5, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(told(saturation).value().cause, "saturation");
    EXPECT_EQ(
        saturation.evaluate().value().cause_detail,
        "Hop 5 is a bandwidth bottleneck and your uplink is saturated by: a (13 Mbps up), b (3 Mbps up). "
        "Throttling or pausing these processes should reduce packet loss. Evidence: hop 5 loses 10 % of its probes "
        "and pings.");
    saturation.apply(ProcessUplinkReport{"a", 20.0f, true});  // moves to the end
    EXPECT_NE(saturation.evaluate().value().cause_detail.find("b (3 Mbps up), a (20 Mbps up)"), std::string::npos);
    saturation.apply(ProcessUplinkReport{"a", 0.0f, false});
    saturation.apply(ProcessUplinkReport{"b", 0.0f, false});

    EXPECT_EQ(saturation.evaluate().value().cause, "congestion");
    EXPECT_EQ(saturation.evaluate().value().cause_detail,
              "Hop 5 is a bandwidth bottleneck. No local process is saturating the uplink \xE2\x80\x94 this is likely "
              "network congestion at your ISP or CDN. Evidence: hop 5 loses 10 % of its probes and pings.");

    DiagnosisState unknown;
    unknown.apply(BottleneckReport{3, true});
    feed(unknown, 4, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(told(unknown).value().cause, "unknown");
    EXPECT_EQ(unknown.evaluate().value().cause_detail,
              "Packet loss trend detected at hop 4. Cause could not be determined from available data. Evidence: hop 4 "
              "loses 10 % of its probes and pings.");

    DiagnosisState isp;
    feed(isp, 3, {7.0f, 8.5f, 10.0f});
    EXPECT_EQ(told(isp).value().cause, "isp");
    EXPECT_EQ(isp.evaluate().value().cause_detail,
              "Packet loss is occurring at hop 3, likely within your ISP's infrastructure. This may be a transient "
              "issue. Evidence: hop 3 loses 10 % of its probes and pings.");
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
    EXPECT_EQ(told(state).value().cause, "congestion");
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

namespace {

std::vector<AnswerCounts> repeated(AnswerCounts interval, std::size_t times) {
    return std::vector<AnswerCounts>(times, interval);
}

}  // namespace

TEST(DiagnosisEvidence, BinomialAndNormalTails) {
    // Two probes lost with probability 1/2 each: at least one lost in 3 of 4 cases.
    EXPECT_NEAR(at_least_probability(1, 2, 0.5), 0.75, 1e-12);
    EXPECT_DOUBLE_EQ(at_least_probability(0, 20, 0.05), 1.0);
    EXPECT_DOUBLE_EQ(at_least_probability(3, 2, 0.5), 0.0);
    EXPECT_DOUBLE_EQ(at_least_probability(5, 20, 1.0), 1.0);
    // 10 of 100 against a 5 % loss: the upper tail of Binomial(100, 0.05) from 10 on.
    EXPECT_NEAR(at_least_probability(10, 100, 0.05), 0.028188, 1e-5);
    EXPECT_NEAR(normal_upper_quantile(0.005), 2.5758, 1e-4);
    EXPECT_NEAR(normal_upper_quantile(0.5), 0.0, 1e-9);
}

TEST(DiagnosisEvidence, EchoRepliesAreComparedWithProbesReportByReport) {
    // A router that answers half its probes and every ping: the probes' excess is its own.
    const auto declining = repeated({{4, 2}, {4, 0}, {}}, 20);
    EXPECT_EQ(compare_echoes_with_probes(declining, location_error_rate), LossComparison::fewer);
    EXPECT_EQ((HopEvidence{2, {{80, 40}, {80, 0}, {}}, declining}.answers().lost), 0u);

    // One that polices pings: the echoes' excess is its own.
    const auto policing = repeated({{4, 0}, {4, 3}, {}}, 20);
    EXPECT_EQ(compare_echoes_with_probes(policing, location_error_rate), LossComparison::more);
    EXPECT_EQ((HopEvidence{2, {{80, 0}, {80, 60}, {}}, policing}.answers().outcomes), 80u);

    // A loss that began halfway, while the pinger asked three times as often
    // before it: over the whole window the echoes lose 1 in 8 and the probes 1
    // in 4, yet report by report they lose alike, and count together.
    std::vector<AnswerCounts> step = repeated({{2, 0}, {6, 0}, {}}, 20);
    const auto lossy = repeated({{2, 1}, {2, 1}, {}}, 20);
    step.insert(step.end(), lossy.begin(), lossy.end());
    EXPECT_EQ(compare_echoes_with_probes(step, location_error_rate), LossComparison::alike);
    EXPECT_EQ((HopEvidence{2, {{80, 20}, {160, 20}, {}}, step}.answers().outcomes), 240u);

    // Reports with no loss, or only one kind of answer, tell nothing.
    EXPECT_EQ(compare_echoes_with_probes(repeated({{4, 0}, {4, 0}, {}}, 50), location_error_rate),
              LossComparison::alike);
    EXPECT_EQ(compare_echoes_with_probes(repeated({{4, 2}, {0, 0}, {}}, 50), location_error_rate),
              LossComparison::alike);
}

TEST(DiagnosisEvidence, TheTargetsTcpAnswersOutweighItsLimitsOnIcmp) {
    // A target that answers half its probes and pings and every TCP probe:
    // its ICMP excess is its own limit, and its TCP answers stand alone.
    const auto limiting = repeated({{4, 2}, {4, 2}, {4, 0}}, 20);
    const HopEvidence limited{5, {{80, 40}, {80, 40}, {80, 0}}, limiting};
    EXPECT_EQ(limited.answers().outcomes, 80u);
    EXPECT_EQ(limited.answers().lost, 0u);
    EXPECT_EQ(limited.confirming().lost, 0u);

    // Loss on its link shows in every kind alike: ICMP tells it.
    const auto lossy = repeated({{4, 1}, {4, 1}, {4, 1}}, 20);
    const HopEvidence losing{5, {{80, 20}, {80, 20}, {80, 20}}, lossy};
    EXPECT_EQ(losing.answers().outcomes, 160u);
    EXPECT_EQ(losing.confirming().outcomes, 80u) << "TCP confirms where the target answers it";

    // A port that a firewall keeps silent tells nothing: ICMP alone, and the
    // echo replies confirm.
    const auto silent_port = repeated({{4, 1}, {4, 1}, {4, 4}}, 20);
    const HopEvidence silent{5, {{80, 20}, {80, 20}, {80, 80}}, silent_port};
    EXPECT_EQ(silent.answers().outcomes, 160u);
    EXPECT_EQ(silent.confirming().outcomes, 80u);
    EXPECT_EQ(silent.confirming().lost, 20u);
}

namespace {

// A hop of 20 intervals, each with these answers.
HopEvidence hop_of(std::uint8_t hop, AnswerCounts interval) {
    const auto times = [](Counts counts) { return Counts{counts.outcomes * 20, counts.lost * 20}; };
    return {hop, {times(interval.probes), times(interval.echoes), times(interval.tcp)}, repeated(interval, 20)};
}

}  // namespace

TEST(DiagnosisEvidence, EchoRepliesAreThePathsWhereProbesOfEveryHopBehindALossThinOut) {
    // Behind a link losing in bursts from hop 2 on, probes lose a fifth and
    // pings almost nothing; the target's TCP answers lose as its probes do.
    const AnswerCounts clean{{5, 0}, {5, 0}, {}};
    const AnswerCounts bursty{{5, 1}, {5, 0}, {}};
    std::vector<HopEvidence> path{hop_of(1, clean), hop_of(2, bursty), hop_of(3, bursty),
                                  hop_of(4, {{5, 1}, {5, 0}, {5, 1}})};
    judge_echo_advantages(path);
    for (const HopEvidence& hop : path) {
        EXPECT_EQ(hop.echo_advantage_of_path, hop.hop > 1) << "hop " << int{hop.hop};
    }
    EXPECT_EQ(path[1].answers().lost, 20u) << "its probes and echo replies together";

    // A target that gives no TCP answers has nothing to tell its own limit by.
    path.back() = hop_of(4, bursty);
    judge_echo_advantages(path);
    EXPECT_TRUE(path[2].echo_advantage_of_path);
    EXPECT_FALSE(path[3].echo_advantage_of_path);

    // Another prober spends every router's answers, the first hop's too: no
    // hop in front shows the path clean, and each hop's limit is its own.
    std::vector<HopEvidence> spent{hop_of(1, bursty), hop_of(2, bursty), hop_of(3, bursty),
                                   hop_of(4, {{5, 1}, {5, 0}, {5, 1}})};
    judge_echo_advantages(spent);
    EXPECT_TRUE(std::ranges::none_of(spent, [](const HopEvidence& hop) { return hop.echo_advantage_of_path; }));

    // A router that limits its own answers loses more probes than the hops behind it.
    std::vector<HopEvidence> limiting{hop_of(1, clean), hop_of(2, {{5, 2}, {5, 0}, {}}), hop_of(3, clean),
                                      hop_of(4, {{5, 0}, {5, 0}, {5, 0}})};
    judge_echo_advantages(limiting);
    EXPECT_FALSE(limiting[1].echo_advantage_of_path);
    EXPECT_EQ(limiting[1].answers().lost, 0u) << "its echo replies alone";
}

namespace {

// A hop of 20 intervals, the last `recent` of them with `then`, the rest with `before`.
HopEvidence hop_stepped(std::uint8_t hop, AnswerCounts before, AnswerCounts then, std::size_t recent) {
    std::vector<AnswerCounts> intervals(20 - recent, before);
    intervals.insert(intervals.end(), recent, then);
    AnswerCounts total;
    for (const AnswerCounts& interval : intervals) {
        total = {total.probes + interval.probes, total.echoes + interval.echoes, total.tcp + interval.tcp};
    }
    return {hop, total, intervals};
}

}  // namespace

TEST(DiagnosisEvidence, ARouterThatPolicesPingsAndProbesAlikeIsNamedWhereTheHopsBehindItWouldBe) {
    // Hop 3 declines a tenth of its answers of both kinds; for the last three
    // intervals the link into it has lost packets too, as the target shows
    // (its TCP answers, which no ICMP limit touches, only just). Hop 3's pings
    // show that loss on top of its own declines, so the loss begins there
    // whenever the target alone would pass for where it begins.
    const AnswerCounts clean{{6, 0}, {28, 0}, {}};
    const std::vector<HopEvidence> path{hop_stepped(1, clean, clean, 3), hop_stepped(2, clean, clean, 3),
                                        hop_stepped(3, {{6, 1}, {28, 3}, {}}, {{6, 2}, {28, 9}, {}}, 3),
                                        hop_stepped(4, {{6, 0}, {28, 0}, {7, 0}}, {{6, 1}, {28, 4}, {7, 1}}, 3)};
    ASSERT_TRUE(loss_begins_at(path, 3).has_value()) << "the target's own answers barely show the loss";
    const auto at_router = loss_begins_at(path, 2);
    ASSERT_TRUE(at_router.has_value());
    EXPECT_EQ(at_router->showing, std::vector<std::size_t>{3}) << "its declines tell nothing of the path";
}

TEST(DiagnosisEvidence, PingsLosingALittleMoreThanAHopsFewProbesAreChanceNotPolicing) {
    // Five pings to each probe, all losing 13 % on the path, where the probes
    // happened to lose 3 %: the hop is judged by both kinds, not by its
    // unlucky probes alone (the hops behind it would then carry a loss that
    // begins at it).
    std::vector<AnswerCounts> unlucky(16, {{6, 0}, {25, 3}, {}});
    unlucky.insert(unlucky.end(), 4, {{6, 1}, {25, 4}, {}});
    const HopEvidence chance{6, {{120, 4}, {500, 64}, {}}, unlucky};
    EXPECT_EQ(chance.echoes_against_probes(), LossComparison::alike);
    EXPECT_EQ(chance.answers().outcomes, 620u);

    // A router that polices pings declines most of them: its probes alone tell of the path.
    const HopEvidence policing = hop_of(6, {{6, 0}, {25, 20}, {}});
    EXPECT_EQ(policing.echoes_against_probes(), LossComparison::more);
    EXPECT_EQ(policing.answers().outcomes, 120u);
}
