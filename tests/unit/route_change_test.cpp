// Route changes: the watch that confirms a new router at a TTL, the pinger's
// choice that follows it, the hop engine's reaction over a simulated path and
// the diagnosis, which forgets the old router's evidence.
#include <gtest/gtest.h>

#include <random>

#include "engines/aggregator/diagnosis.hpp"
#include "engines/hop/route_watch.hpp"
#include "hop_loop.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::hop;
using namespace sim::test_network;
using std::chrono::milliseconds;
using std::chrono::seconds;

const packets::IpAddress balanced_a = sim::numbered_address(7);
const packets::IpAddress balanced_b = sim::numbered_address(8);

// Feeds `count` answers from `source` at `ttl`; the changes they confirmed.
std::vector<RouteChange> answers(RouteWatch& watch, std::uint8_t ttl, packets::IpAddress source, int count) {
    std::vector<RouteChange> changes;
    for (int i = 0; i < count; ++i) {
        if (const auto change = watch.observe(ttl, source)) {
            changes.push_back(*change);
        }
    }
    return changes;
}

TEST(RouteWatch, TheFirstAddressAtATtlIsAdoptedWithoutAChange) {
    RouteWatch watch;
    EXPECT_FALSE(watch.router(2).has_value());
    EXPECT_TRUE(answers(watch, 2, r2, 1).empty());
    EXPECT_EQ(watch.router(2), r2);
    EXPECT_TRUE(answers(watch, 3, r3, 30).empty()) << "each TTL has its own router";
    EXPECT_EQ(watch.router(2), r2);
    EXPECT_EQ(watch.router(3), r3);
}

TEST(RouteWatch, ANewRouterIsConfirmedByItsThirdAnswerInARowAndOnce) {
    RouteWatch watch;
    answers(watch, 2, r2, 25);
    EXPECT_TRUE(answers(watch, 2, r4, 2).empty());
    EXPECT_EQ(watch.router(2), r2) << "two answers are not yet a change";

    const auto confirmed = answers(watch, 2, r4, 1);
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(confirmed[0].hop, 2u);
    EXPECT_EQ(confirmed[0].old_addr, r2);
    EXPECT_EQ(confirmed[0].new_addr, r4);
    EXPECT_EQ(watch.router(2), r4);
    EXPECT_TRUE(answers(watch, 2, r4, 40).empty()) << "one change, one confirmation";
}

TEST(RouteWatch, LoadBalancedAddressesNeverConfirmAChange) {
    RouteWatch watch;
    for (int i = 0; i < 100; ++i) {  // per-flow balancing as probes see it: one address, then the other
        EXPECT_FALSE(watch.observe(4, i % 2 == 0 ? balanced_a : balanced_b)) << "answer " << i;
    }
    std::mt19937_64 random(3);
    for (int i = 0; i < 2000; ++i) {  // a random choice makes runs of three and more
        EXPECT_FALSE(watch.observe(4, random() % 2 == 0 ? balanced_a : balanced_b)) << "answer " << i;
    }
    EXPECT_EQ(watch.router(4), balanced_a);
}

TEST(RouteWatch, AChangeBackToAnOldAddressConfirmsOnceTheOtherHasBeenSilentForTheLookBack) {
    RouteWatch watch;
    answers(watch, 3, r3, 25);
    ASSERT_EQ(answers(watch, 3, r4, 25).size(), 1u);
    const auto back = answers(watch, 3, r3, 3);
    ASSERT_EQ(back.size(), 1u) << "r3 has not answered for more than twenty answers";
    EXPECT_EQ(back[0].old_addr, r4);
    EXPECT_EQ(back[0].new_addr, r3);

    // Back to r4 after five answers: r4 answered among the twenty before its
    // run, as a balanced address would, so it is confirmed only once r3 has not
    // answered for those twenty and the run.
    answers(watch, 3, r3, 2);
    EXPECT_TRUE(answers(watch, 3, r4, 22).empty());
    const auto flapped = answers(watch, 3, r4, 1);
    ASSERT_EQ(flapped.size(), 1u);
    EXPECT_EQ(flapped[0].new_addr, r4);
}

TEST(RouteChangePinger, TheReplacedRouterIsForgottenAtItsTtlOnly) {
    SightingQueue sightings(sighting_queue_capacity);
    PingChoice choice;
    for (const HopSighting& seen :
         {HopSighting{1, r1}, HopSighting{2, r2}, HopSighting{3, r3}, HopSighting{4, server}}) {
        sightings.try_push(seen);
    }
    ASSERT_EQ(choice.take_new(sightings).size(), 4u);

    // r4 comes in at TTL 2: each later router moves one TTL out. The change at
    // TTL 3 (r3 by r2) is confirmed before the one at TTL 2 (r2 by r4), so r2
    // is already known at TTL 3 and stays there.
    sightings.try_push({4, r3, server});
    sightings.try_push({3, r2, r3});
    sightings.try_push({2, r4, r2});
    const auto pinged_at_once = choice.take_new(sightings);
    ASSERT_EQ(pinged_at_once.size(), 1u);
    EXPECT_EQ(pinged_at_once[0].addr, r4);

    std::map<packets::IpAddress, std::uint8_t> known;
    for (const HopSighting& router : choice.every_known()) {
        known[router.addr] = router.ttl;
    }
    const std::map<packets::IpAddress, std::uint8_t> expected{{r1, 1}, {r4, 2}, {r2, 3}, {r3, 4}};
    EXPECT_EQ(known, expected) << "the target, replaced at TTL 4, waits for its sighting at TTL 5";
}

TEST(RouteChangeDiagnosis, ARouteChangeForgetsTheHopsHistoryAndNoOther) {
    using engines::HopLossReport;
    engines::aggregator::DiagnosisState state;
    for (std::uint8_t hop = 1; hop <= 3; ++hop) {
        state.apply(HopLossReport{1'800'000'000, 40.0f, hop, 20, 8});
        state.apply(HopLossReport{1'800'000'007, 40.0f, hop, 21, 8});
    }
    state.apply(engines::RouteChangeReport{1'800'000'014, 2, "198.51.100.2", "198.51.100.10"});
    EXPECT_EQ(state.histories().count(2), 0u);
    ASSERT_EQ(state.histories().count(1), 1u);
    EXPECT_EQ(state.histories().at(3).samples.size(), 2u);

    state.apply(HopLossReport{1'800'000'014, 0.0f, 2, 1, 0});
    const auto& renewed = state.histories().at(2);
    EXPECT_EQ(renewed.base_ts, 1'800'000'014u);
    ASSERT_EQ(renewed.samples.size(), 1u);
    EXPECT_EQ(renewed.samples[0].loss, 0.0);
}

// A path whose router at TTL 2 answers half its probes, until r4 comes in at
// TTL 2 after `change_after` and every later router moves one TTL out.
struct ChangedPath {
    sim::SimulatedPath path;

    ChangedPath(seconds run_time, seconds change_after)
        : path(client,
               {{.address = r1, .round_trip = milliseconds(2)},
                {.address = r2, .round_trip = milliseconds(4), .answers = sim::answering_share(0.5)},
                {.address = r3, .round_trip = milliseconds(6)},
                {.address = server, .round_trip = milliseconds(8)}},
               run_time, 17) {
        path.change_route(change_after, {{.address = r1, .round_trip = milliseconds(2)},
                                         {.address = r4, .round_trip = milliseconds(20)},
                                         {.address = r2, .round_trip = milliseconds(24)},
                                         {.address = r3, .round_trip = milliseconds(26)},
                                         {.address = server, .round_trip = milliseconds(28)}});
    }
};

TEST(RouteChangeSimulation, EachChangedTtlIsReportedOnceBeforeItsCyclesHopLossAndItsEvidenceBeginsAgain) {
    constexpr auto change_after = seconds(200);
    ChangedPath changed(seconds(300), change_after);
    sim::SimulatedHopLoop loop(changed.path, server);
    engines::aggregator::DiagnosisState diagnosis;
    std::vector<engines::RouteChangeReport> change_reports;
    EXPECT_TRUE(loop.run(5000, [&](engines::AggregatorReport report) {
        if (const auto* change = std::get_if<engines::RouteChangeReport>(&report)) {
            change_reports.push_back(*change);
        }
        diagnosis.apply(report);
    }));

    const auto events = loop.take_events();
    std::vector<ipc::RouteChangeEvent> changes;
    std::map<std::uint8_t, std::vector<ipc::HopLossEvent>> losses_after_change;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (const auto* change = std::get_if<ipc::RouteChangeEvent>(&events[i])) {
            changes.push_back(*change);
            ASSERT_LT(i + 1, events.size());
            const auto* next = std::get_if<ipc::HopLossEvent>(&events[i + 1]);
            if (next == nullptr) {
                EXPECT_TRUE(std::holds_alternative<ipc::RouteChangeEvent>(events[i + 1]))
                    << "the changes of a cycle come together, then its hop_loss events";
            } else {
                EXPECT_EQ(next->ts, change->ts) << "the same cycle";
                EXPECT_EQ(next->hop, 1u) << "before all of the cycle's hop_loss events";
            }
        }
        const auto* loss = std::get_if<ipc::HopLossEvent>(&events[i]);
        if (loss != nullptr &&
            std::any_of(changes.begin(), changes.end(), [&](const auto& c) { return c.hop == loss->hop; })) {
            losses_after_change[loss->hop].push_back(*loss);
        }
    }

    std::map<std::uint8_t, std::pair<std::string, std::string>> by_hop;
    for (const auto& change : changes) {
        EXPECT_TRUE(by_hop.emplace(change.hop, std::pair(change.old_addr, change.new_addr)).second)
            << "hop " << int{change.hop} << " reported twice";
        EXPECT_GE(change.ts, 1'800'000'000u + 200);
        // The diagnosis knows only the new router's evidence at the changed hop.
        EXPECT_GE(diagnosis.histories().at(change.hop).base_ts, change.ts) << "hop " << int{change.hop};
    }
    const std::map<std::uint8_t, std::pair<std::string, std::string>> expected{{2, {"198.51.100.2", "198.51.100.10"}},
                                                                               {3, {"198.51.100.6", "198.51.100.2"}},
                                                                               {4, {"203.0.113.10", "198.51.100.6"}}};
    EXPECT_EQ(by_hop, expected) << "TTL 5, new, is adopted without a change";

    // The old router lost half the probes; the new one loses none, and its hop
    // shows so from the first report after the change.
    ASSERT_FALSE(losses_after_change[2].empty());
    for (const auto& loss : losses_after_change[2]) {
        EXPECT_EQ(loss.loss_pct, 0.0f);
        EXPECT_EQ(loss.addr, "198.51.100.10");
    }
    const auto hops = loop.shared().table->snapshot();
    EXPECT_LE(hops[2].outcomes_total, 20u) << "a probe every 5 s for the 100 s since the change";
    EXPECT_EQ(hops[2].lost_total, 0u);
    EXPECT_GE(hops[2].sent_total, 40u) << "the send counts go on past the change";

    ASSERT_EQ(change_reports.size(), changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i) {
        EXPECT_EQ(change_reports[i].hop, changes[i].hop);
        EXPECT_EQ(change_reports[i].new_addr, changes[i].new_addr);
    }
    EXPECT_EQ(diagnosis.histories().at(1).base_ts, 1'800'000'007u) << "hop 1 kept its router";
}

TEST(RouteChangeSimulation, AChangeIsConfirmedByTheThreeSweepsAfterItWhicheverFlowsTheyTake) {
    // By the time of the change the sweeps take the probe flows in turn, and
    // the first flows to meet the new routers form a path of their own.
    constexpr auto sweep = seconds(5);
    constexpr auto earliest = seconds(200);
    std::vector<std::int64_t> delays_s;
    for (auto change_after = earliest; change_after < earliest + 2 * report_period; ++change_after) {
        ChangedPath changed(seconds(300), change_after);
        sim::SimulatedHopLoop loop(changed.path, server);
        ASSERT_TRUE(loop.run(5000));
        std::optional<std::uint64_t> reported;
        for (const auto& event : loop.take_events()) {
            if (const auto* change = std::get_if<ipc::RouteChangeEvent>(&event); change && !reported) {
                reported = change->ts;
            }
        }
        ASSERT_TRUE(reported.has_value()) << "change after " << change_after.count() << " s";
        delays_s.push_back(static_cast<std::int64_t>(*reported - 1'800'000'000u) - change_after.count());
    }
    // The first sweep after the change meets the new router, the next two
    // confirm it, and the next report tells of it.
    const auto bound = (3 * sweep + report_period).count();
    for (std::size_t i = 0; i < delays_s.size(); ++i) {
        EXPECT_LE(delays_s[i], bound) << "change " << (earliest.count() + static_cast<std::int64_t>(i)) << " s";
    }
}

TEST(RouteChangeSimulation, ThePingerFollowsTheNewRoutersAndTheirDelayBaselinesBeginAgain) {
    constexpr auto change_after = seconds(300);
    ChangedPath changed(seconds(340), change_after);
    sim::SimulatedHopLoop loop(changed.path, server);
    loop.add_pinger();
    EXPECT_TRUE(loop.run(5000));

    bool delay_of_hop_2_before = false;
    std::optional<std::uint64_t> changed_at;
    for (const auto& event : loop.take_events()) {
        if (const auto* change = std::get_if<ipc::RouteChangeEvent>(&event); change && change->hop == 2) {
            changed_at = change->ts;
        }
        if (const auto* delay = std::get_if<ipc::HopDelayEvent>(&event); delay && delay->hop == 2) {
            delay_of_hop_2_before = delay_of_hop_2_before || !changed_at;
            EXPECT_FALSE(changed_at) << "hop 2's baseline is the old router's until two windows have passed";
        }
    }
    ASSERT_TRUE(changed_at.has_value());
    EXPECT_TRUE(delay_of_hop_2_before);

    // Every round trip kept at a changed TTL is its new router's own.
    const auto hops = loop.shared().table->snapshot();
    const std::map<std::size_t, float> new_round_trips{{2, 20.0f}, {3, 24.0f}, {4, 26.0f}};
    for (const auto& [ttl, round_trip] : new_round_trips) {
        ASSERT_FALSE(hops[ttl].rtt_samples.empty()) << "ttl " << ttl;
        for (const float sample : hops[ttl].rtt_samples) {
            EXPECT_NEAR(sample, round_trip, 0.01) << "ttl " << ttl;
        }
    }
}

}  // namespace

namespace {

// Each hop's hop_counts summed over a run, as an exporter's counters would add them up.
struct CountedHop {
    std::uint64_t probes = 0;
    std::uint64_t lost = 0;
    std::size_t round_trips = 0;
};

}  // namespace

TEST(HopCountsEvents, AddUpToEachHopsOutcomesAndRoundTripsAcrossARouteChange) {
    // Hop 2's router declines half its answers until, at 200 s, another router
    // takes TTL 2 and every TTL behind it changes: what their counts carry
    // since is the new routers' alone, while hop 1's run on.
    ChangedPath changed(seconds(300), seconds(200));
    sim::SimulatedHopLoop loop(changed.path, server);
    loop.add_pinger();
    ASSERT_TRUE(loop.run(5000));
    std::map<std::uint8_t, CountedHop> before_change;
    std::map<std::uint8_t, CountedHop> since_change;
    bool changed_yet = false;
    for (const auto& event : loop.take_events()) {
        changed_yet = changed_yet || std::holds_alternative<ipc::RouteChangeEvent>(event);
        if (const auto* counts = std::get_if<ipc::HopCountsEvent>(&event)) {
            CountedHop& counted = (changed_yet ? since_change : before_change)[counts->hop];
            counted.probes += counts->probes;
            counted.lost += counts->lost;
            counted.round_trips += counts->rtt_ms.size();
            EXPECT_LE(counts->lost, counts->probes);
        }
    }
    ASSERT_TRUE(changed_yet);
    const auto hops = loop.shared().table->snapshot();
    // The last report's counts are in; what settled after it is not yet: at
    // most a report's worth of probes (one a sweep) and of echo replies.
    const auto expect_near = [](std::uint64_t counted, std::uint64_t total, std::uint64_t late, const char* what,
                                int ttl) {
        EXPECT_LE(counted, total) << what << ", ttl " << ttl;
        EXPECT_GE(counted + late, total) << what << ", ttl " << ttl;
    };
    const CountedHop first{before_change[1].probes + since_change[1].probes,
                           before_change[1].lost + since_change[1].lost,
                           before_change[1].round_trips + since_change[1].round_trips};
    expect_near(first.probes, hops[1].outcomes_total, 3, "probes", 1);
    expect_near(first.round_trips, hops[1].rtt_total, 6, "round trips", 1);
    for (int ttl = 2; ttl <= 5; ++ttl) {
        const CountedHop& counted = since_change[static_cast<std::uint8_t>(ttl)];
        expect_near(counted.probes, hops[ttl].outcomes_total, 3, "probes since the change", ttl);
        expect_near(counted.lost, hops[ttl].lost_total, 3, "losses since the change", ttl);
        expect_near(counted.round_trips, hops[ttl].rtt_total, 6, "round trips since the change", ttl);
    }
    EXPECT_GT(before_change[2].lost, 5u) << "the old router at TTL 2 declined half of some 40 probes";
    EXPECT_LT(before_change[2].lost, before_change[2].probes);
}
