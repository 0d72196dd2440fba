#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "diagnosis_sim.hpp"
#include "engines/hop/queue_delay.hpp"

namespace {

using namespace tarnvale::engines::hop;
using tarnvale::sim::EventKind;
using tarnvale::sim::read_scenario;
using tarnvale::sim::run_once;
using tarnvale::sim::RunEvent;
using tarnvale::sim::ScenarioFile;

DelayClock::time_point at(double seconds) {
    return DelayClock::time_point{} +
           std::chrono::duration_cast<DelayClock::duration>(std::chrono::duration<double>(seconds));
}

// Round trips of hops 1 to 4, three per hop every 5 s for `seconds`, from a
// function of hop and time; the delays as the reporter would read them at the end.
std::vector<std::optional<HopDelay>> delays_after(double seconds,
                                                  const std::function<float(std::uint8_t, double)>& round_trip) {
    DelayTable table(5);
    for (double t = 0; t < seconds; t += 5.0 / 3) {
        for (std::uint8_t hop = 1; hop <= 4; ++hop) {
            table.record(hop, at(t), round_trip(hop, t));
        }
    }
    return table.delays(at(seconds), 4);
}

// A quiet hop: 2 ms per hop and up to 0.5 ms of jitter, varying with time.
float quiet(std::uint8_t hop, double t) { return 2.0f * hop + 0.25f + 0.25f * static_cast<float>(std::sin(t * 7.1)); }

TEST(QueueDelay, NeedsTheNewestWindowAndTwoEarlierOnes) {
    EXPECT_FALSE(delays_after(60, quiet)[1]) << "one earlier window only";
    const auto delays = delays_after(95, quiet);
    ASSERT_TRUE(delays[1]);
    EXPECT_NEAR(delays[1]->baseline_ms, 2.0f, 0.5f);
    EXPECT_LT(delays[1]->added_ms(), 0.5f);
    EXPECT_FALSE(delays[0]) << "entry 0 is no hop";
    EXPECT_FALSE(locate_queue(delays));
}

TEST(QueueDelay, ARiseAtHop2ThatContinuesToTheTargetLocatesHop2) {
    auto queued = [](std::uint8_t hop, double t) { return quiet(hop, t) + (hop >= 2 && t >= 200 ? 80.0f : 0.0f); };
    const auto delays = delays_after(240, queued);
    const auto queue = locate_queue(delays);
    ASSERT_TRUE(queue);
    EXPECT_EQ(queue->hop, 2);
    EXPECT_NEAR(queue->delay.added_ms(), 80.0f, 1.0f);
    EXPECT_NEAR(queue->delay.baseline_ms, 4.0f, 0.5f);
    EXPECT_FALSE(carries_queue(delays, *queue, 1));
    EXPECT_TRUE(carries_queue(delays, *queue, 4));
    EXPECT_FALSE(locate_queue(delays_after(205, queued))) << "a queue of 5 s is not yet standing";
}

TEST(QueueDelay, OneSlowRouterIsNoQueue) {
    // Router 3's own answers wait 20-50 ms from minute 3 on; the hops behind it do not.
    auto slow = [](std::uint8_t hop, double t) {
        const float wait = 35.0f + 15.0f * static_cast<float>(std::sin(t * 3.3));
        return quiet(hop, t) + (hop == 3 && t >= 180 ? wait : 0.0f);
    };
    const auto delays = delays_after(240, slow);
    ASSERT_TRUE(delays[3]);
    EXPECT_TRUE(delays[3]->raised());
    EXPECT_FALSE(locate_queue(delays));
    // Behind a real queue at hop 2, the slow router carries it like any hop.
    auto queued = [&](std::uint8_t hop, double t) { return slow(hop, t) + (hop >= 2 && t >= 200 ? 80.0f : 0.0f); };
    const auto queue = locate_queue(delays_after(240, queued));
    ASSERT_TRUE(queue);
    EXPECT_EQ(queue->hop, 2);
}

TEST(QueueDelay, ARiseThatClearsIsForgottenWithinAWindow) {
    auto passing = [](std::uint8_t hop, double t) {
        return quiet(hop, t) + (hop >= 2 && t >= 200 && t < 300 ? 80.0f : 0.0f);
    };
    EXPECT_TRUE(locate_queue(delays_after(290, passing)));
    EXPECT_FALSE(locate_queue(delays_after(335, passing)));
}

TEST(QueueDelay, JitterWithoutAStandingQueueIsNoQueue) {
    // Wi-Fi-like: every round trip waits up to 30 ms at random, the quiet level unchanged.
    auto jittery = [](std::uint8_t hop, double t) {
        return quiet(hop, t) + 15.0f + 15.0f * static_cast<float>(std::sin(t * 12.9 + hop));
    };
    for (double end = 100; end <= 600; end += 50) {
        EXPECT_FALSE(locate_queue(delays_after(end, jittery))) << end;
    }
}

TEST(QueueDelay, ARiseSharedByTheHopBeforeDoesNotBeginHere) {
    std::vector<std::optional<HopDelay>> delays(5);
    delays[1] = HopDelay{2, 40, 0.2f};   // raised, but hop 2 does not carry it: no queue in front of hop 1
    delays[2] = HopDelay{4, 4.5f, 0.2f};
    delays[3] = HopDelay{6, 90, 0.2f};   // begins here, carried by the target
    delays[4] = HopDelay{8, 95, 0.2f};
    const auto queue = locate_queue(delays);
    ASSERT_TRUE(queue);
    EXPECT_EQ(queue->hop, 3);
    delays[1] = HopDelay{2, 2.5f, 0.2f};
    delays[2] = HopDelay{4, 60, 0.2f};
    EXPECT_EQ(locate_queue(delays)->hop, 2) << "hop 2's rise begins the queue and the later hops carry it";
    delays[2] = HopDelay{4, 14, 0.2f};  // not raised itself, yet half of hop 3's rise
    delays[3] = HopDelay{6, 26, 0.2f};
    delays[4] = HopDelay{8, 29, 0.2f};
    EXPECT_FALSE(locate_queue(delays)) << "where the rise begins is unclear this cycle";
}

TEST(QueueLocator, ReportsAHopLocatedTwiceRunning) {
    std::vector<std::optional<HopDelay>> quiet_path(5, HopDelay{2, 2.2f, 0.2f});
    auto queued = quiet_path;
    for (std::uint8_t hop = 2; hop <= 4; ++hop) {
        queued[hop] = HopDelay{2, 82, 0.2f};
    }
    QueueLocator locator;
    EXPECT_FALSE(locator.update(queued));
    EXPECT_EQ(locator.update(queued)->hop, 2);
    EXPECT_FALSE(locator.update(quiet_path));
    EXPECT_FALSE(locator.update(queued));
}

TEST(QueueSimulation, LocatesAStandingQueueAndStaysQuietOtherwise) {
    // Hops at 1, 5, 12 and 25 ms; 40-100 ms of queue into hop 3 from 200 to 400 s; a slow target.
    ScenarioFile scenario = read_scenario(std::string(TARNVALE_SCENARIO_FIXTURES) + "/queue_4hop_core.json");
    const auto latency_events = [&] {
        std::vector<RunEvent> latency;
        for (const RunEvent& event : run_once(scenario, 7).events) {
            if (event.kind == EventKind::latency) {
                latency.push_back(event);
            }
        }
        return latency;
    };
    const auto queued = latency_events();
    ASSERT_FALSE(queued.empty());
    EXPECT_LE(queued.front().at_s - 200, 60);
    for (const RunEvent& event : queued) {
        EXPECT_EQ(event.hop, 3);
        EXPECT_GE(event.at_s, 200);
        EXPECT_LE(event.at_s, 440) << "cleared within a window and a cycle";
    }
    scenario.links.clear();
    EXPECT_TRUE(latency_events().empty());
}

}  // namespace
