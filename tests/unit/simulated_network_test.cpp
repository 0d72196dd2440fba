// The parts the simulated path is made of, and the path's behaviour with them:
// rate limits, bursty links, timelines, return loss, queues, route changes,
// other probers on the host and the target's TCP answers.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "answer_packets.hpp"
#include "answer_policy.hpp"
#include "bursty_loss.hpp"
#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/ipv4.hpp"
#include "packets/views.hpp"
#include "scenario_file.hpp"
#include "simulated_path.hpp"
#include "timeline.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::sim;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = SimulatedPath::Clock;

TEST(AnswerLimit, TheLinuxPresetDeclinesTheSeventhAnswerWithinASecondAndRecoversAfterOne) {
    AnswerLimit limit(*limit_preset("linux"));
    Random random(1);
    for (int answer = 0; answer < 6; ++answer) {
        EXPECT_TRUE(limit.allows(AnswerKind::time_exceeded, 10.0 + 0.1 * answer, random)) << answer;
    }
    // Half a token came back while the six went out.
    EXPECT_FALSE(limit.allows(AnswerKind::unreachable, 10.6, random));
    EXPECT_TRUE(limit.allows(AnswerKind::echo, 10.6, random)) << "echo replies are not limited";
    EXPECT_FALSE(limit.allows(AnswerKind::time_exceeded, 10.95, random));
    EXPECT_TRUE(limit.allows(AnswerKind::time_exceeded, 11.05, random)) << "a token a second";
    EXPECT_FALSE(limit.allows(AnswerKind::time_exceeded, 11.5, random));
    EXPECT_TRUE(limit.allows(AnswerKind::time_exceeded, 12.1, random));
}

TEST(AnswerLimit, AGlobalBucketIsSpentByTheRestOfTheInternet) {
    const LimitRule quiet{.per_s = 2, .burst = 1, .global = true};
    LimitRule busy = quiet;
    busy.others_per_s = 20;  // ten times what the bucket refills
    AnswerLimit alone(quiet);
    AnswerLimit shared(busy);
    Random random(3);
    int answered_alone = 0;
    int answered_shared = 0;
    for (int second = 1; second <= 200; ++second) {
        answered_alone += alone.allows(AnswerKind::time_exceeded, second, random) ? 1 : 0;
        answered_shared += shared.allows(AnswerKind::time_exceeded, second, random) ? 1 : 0;
    }
    EXPECT_EQ(answered_alone, 200);
    EXPECT_GT(answered_shared, 0);
    EXPECT_LT(answered_shared, 40) << "others take nearly every token first";
}

TEST(AnswerPolicy, BehavioursHoldFromTheirStartAndEachHasItsShare) {
    Steps<AnswerBehaviour> behaviours;
    behaviours.add(100, AnswerBehaviour{.share = 0.25, .echo_share = 1.0});
    behaviours.add(200, AnswerBehaviour{.silent = true});
    behaviours.add(300, AnswerBehaviour{.hold_ms = std::pair(20.0, 50.0)});
    AnswerPolicy policy(std::move(behaviours));
    Random random(5);
    const auto answered = [&](AnswerKind kind, double from_s) {
        int count = 0;
        for (int ask = 0; ask < 4000; ++ask) {
            count += policy.answers(kind, from_s + ask * 0.01, random) ? 1 : 0;
        }
        return count;
    };
    EXPECT_EQ(answered(AnswerKind::time_exceeded, 50), 4000) << "before the first behaviour it answers all";
    EXPECT_NEAR(answered(AnswerKind::time_exceeded, 150), 1000, 100);
    EXPECT_EQ(answered(AnswerKind::echo, 150), 4000);
    EXPECT_EQ(answered(AnswerKind::echo, 250), 0);
    EXPECT_EQ(policy.hold_ms(150, random), 0);
    for (int answer = 0; answer < 100; ++answer) {
        const double held = policy.hold_ms(350, random);
        EXPECT_GE(held, 20);
        EXPECT_LE(held, 50);
    }
}

TEST(BurstyLoss, ALinkAtTwentyPercentSpendsAFifthOfALongRunBadInBurstsOfTheMeanLength) {
    BurstyLoss link(300);
    const Timeline twenty({{0, 0, 20}});
    Random random(11);
    constexpr double step_s = 0.01;
    int bad_samples = 0;
    int bursts = 0;
    bool was_bad = false;
    const int samples = 2'000'000;  // 20000 s
    for (int sample = 0; sample < samples; ++sample) {
        const bool bad = link.bad_at(sample * step_s, twenty, random);
        bad_samples += bad ? 1 : 0;
        bursts += bad && !was_bad ? 1 : 0;
        was_bad = bad;
    }
    EXPECT_NEAR(static_cast<double>(bad_samples) / samples, 0.20, 0.01);
    EXPECT_NEAR(bad_samples * step_s * 1000 / bursts, 300, 30) << "mean burst in ms";
}

TEST(BurstyLoss, AnswersLookingBackASecondSeeTheStateTheLinkWasIn) {
    BurstyLoss link(300);
    const Timeline half({{0, 0, 50}});
    Random random(2);
    std::vector<bool> first;
    for (int tenth = 0; tenth < 100; ++tenth) {
        first.push_back(link.bad_at(tenth * 0.1 + 1.0, half, random));
    }
    for (int tenth = 0; tenth < 100; ++tenth) {
        EXPECT_EQ(link.bad_at(tenth * 0.1 + 1.0, half, random), first[static_cast<std::size_t>(tenth)]) << tenth;
    }
}

TEST(Timeline, ValuesHoldRampAndAreReachedWhereTheLineCrossesTheLevel) {
    const Timeline loss({{100, 0, 10}, {200, 60, 40}, {400, 0, 0}});
    EXPECT_EQ(loss.at(50), 0);
    EXPECT_EQ(loss.at(150), 10);
    EXPECT_DOUBLE_EQ(loss.at(230), 25) << "half way from 10 to 40";
    EXPECT_EQ(loss.at(300), 40);
    EXPECT_EQ(loss.at(500), 0);
    EXPECT_EQ(loss.highest(), 40);
    EXPECT_DOUBLE_EQ(*loss.first_reaching(15), 210);
    EXPECT_DOUBLE_EQ(*loss.first_reaching(10), 100);
    EXPECT_FALSE(loss.first_reaching(50));
    // A ramp cut short by the next point starts the next ramp from where it got to.
    const Timeline cut({{0, 100, 100}, {50, 50, 0}});
    EXPECT_DOUBLE_EQ(cut.at(75), 25);
    EXPECT_DOUBLE_EQ(*cut.first_reaching(40), 40);
    EXPECT_FALSE(cut.first_reaching(60));
}

constexpr packets::IpAddress client = numbered_address(0);
constexpr packets::IpAddress r1 = numbered_address(1);
constexpr packets::IpAddress r2 = numbered_address(2);
constexpr packets::IpAddress r3 = numbered_address(3);
constexpr packets::IpAddress target = numbered_address(9);

SimulatedHop hop(packets::IpAddress address, int round_trip_ms) {
    return {.address = address, .round_trip = milliseconds(round_trip_ms)};
}

std::shared_ptr<SimulatedLink> link(LinkConditions conditions) {
    return std::make_shared<SimulatedLink>(std::move(conditions));
}

// The share of `tries` echo requests to `router`, one a second from `from_s`, that come back.
double echo_share(SimulatedPath& path, packets::IpAddress router, int from_s, int tries = 2000) {
    int answered = 0;
    for (int second = 0; second < tries; ++second) {
        answered += path.echo_round_trip(router, path.start() + seconds(from_s + second)) ? 1 : 0;
    }
    return answered / static_cast<double>(tries);
}

TEST(SimulatedPath, LinksLoseOnTheWayOutAndOnTheWayBack) {
    const Timeline ten({{0, 0, 10}});
    SimulatedHop second = hop(r2, 4);
    second.link = link({.loss_pct = ten});
    SimulatedHop third = hop(r3, 6);
    third.link = link({.return_loss_pct = Timeline({{0, 0, 30}})});
    SimulatedPath path(client, {hop(r1, 2), second, third, hop(target, 8)}, seconds(100000), 3);
    EXPECT_EQ(echo_share(path, r1, 0), 1.0);
    EXPECT_NEAR(echo_share(path, r2, 0, 10000), 0.9, 0.01);
    EXPECT_NEAR(echo_share(path, r3, 0, 10000), 0.9 * 0.7, 0.015);
    EXPECT_NEAR(echo_share(path, target, 0, 10000), 0.9 * 0.7, 0.015);
}

TEST(SimulatedPath, AQueueDelaysEveryRoundTripBehindItAndASlowRouterWaitsItToo) {
    SimulatedHop second = hop(r2, 4);
    second.link = link({.queue_ms = Timeline({{100, 0, 80}, {200, 0, 0}}), .queue_swing_ms = Timeline({{0, 0, 30}})});
    SimulatedHop first = hop(r1, 2);
    Steps<AnswerBehaviour> busy;
    busy.add(0, AnswerBehaviour{.slow_with_queue = second.link});
    first.answers = std::make_shared<AnswerPolicy>(std::move(busy));
    SimulatedPath path(client, {first, second, hop(r3, 6)}, seconds(1000), 3);
    const auto round_trip_ms = [&](packets::IpAddress router, int at_s) {
        return std::chrono::duration<double, std::milli>(*path.echo_round_trip(router, path.start() + seconds(at_s)))
            .count();
    };
    EXPECT_DOUBLE_EQ(round_trip_ms(r3, 50), 6) << "before the queue";
    for (int at_s = 100; at_s < 200; ++at_s) {
        EXPECT_GE(round_trip_ms(r3, at_s), 6 + 50);
        EXPECT_LE(round_trip_ms(r3, at_s), 6 + 80);
        EXPECT_GE(round_trip_ms(r2, at_s), 4 + 50);
        EXPECT_GE(round_trip_ms(r1, at_s), 2 + 50) << "its CPU is busy while the link it feeds is full";
    }
    EXPECT_DOUBLE_EQ(round_trip_ms(r3, 250), 6) << "after the queue";
    EXPECT_DOUBLE_EQ(round_trip_ms(r1, 250), 2);
}

TEST(SimulatedPath, EachRouteHoldsFromItsChangeToTheNext) {
    SimulatedPath path(client, {hop(r1, 2), hop(target, 8)}, seconds(1000), 3);
    path.change_route(seconds(300), {hop(r1, 2), hop(r3, 4), hop(target, 8)});
    path.change_route(seconds(100), {hop(r1, 2), hop(r2, 4), hop(target, 8)});
    const auto answers = [&](packets::IpAddress router, int at_s) {
        return path.echo_round_trip(router, path.start() + seconds(at_s)).has_value();
    };
    EXPECT_FALSE(answers(r2, 50));
    EXPECT_TRUE(answers(r2, 150));
    EXPECT_FALSE(answers(r3, 250));
    EXPECT_FALSE(answers(r2, 350));
    EXPECT_TRUE(answers(r3, 350));
}

// The share of echo requests to `router` that come back, sent at random
// times (a regular pinger and a regular prober would lock into step around the
// bucket's refills), half a second apart on average, between two times.
double random_echo_share(SimulatedPath& path, packets::IpAddress router, double from_s, double until_s) {
    Random random(17);
    int sent = 0;
    int answered = 0;
    for (double at_s = from_s; at_s < until_s; at_s += exponential_draw(random, 2.0)) {
        ++sent;
        answered +=
            path.echo_round_trip(
                router, path.start() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at_s)))
                ? 1
                : 0;
    }
    return answered / static_cast<double>(sent);
}

TEST(SimulatedPath, OtherProbersOnTheHostSpendThePerDestinationLimits) {
    const auto limited_router = [] {
        Steps<AnswerBehaviour> behaviours;
        behaviours.add(0, AnswerBehaviour{.limits = {AnswerLimit(
                                              LimitRule{.per_s = 4, .burst = 6, .applies_to = {AnswerKind::echo}})}});
        SimulatedHop router = hop(r2, 4);
        router.answers = std::make_shared<AnswerPolicy>(std::move(behaviours));
        return router;
    };
    SimulatedPath alone(client, {hop(r1, 2), limited_router(), hop(target, 8)}, seconds(10000), 3);
    EXPECT_GT(random_echo_share(alone, r2, 0, 2000), 0.99) << "two pings a second are within the limit";

    // mtr at 20 a second beside the pinger takes each token within 50 ms of its coming.
    SimulatedPath shared(client, {hop(r1, 2), limited_router(), hop(target, 8)}, seconds(10000), 3);
    shared.add_other_prober({.from_s = 0, .until_s = 2000, .per_s = 20, .to = {r2}, .kinds = {AnswerKind::echo}});
    EXPECT_LT(random_echo_share(shared, r2, 100, 2000), 0.25);
    EXPECT_GT(random_echo_share(shared, r2, 2010, 4000), 0.99) << "after mtr stopped";
}

// An IPv4 TCP SYN from the client to the target's port 443.
std::vector<std::uint8_t> tcp_syn(std::uint8_t ttl) {
    std::vector<std::uint8_t> datagram(40, 0);
    packets::write_ipv4_header(std::span(datagram).first<20>(),
                               {40, 7, 0, ttl, packets::protocol_tcp, client.v4(), target.v4()});
    packets::write_u16(datagram, 20, 40000);
    packets::write_u16(datagram, 22, 443);
    packets::write_u32(datagram, 24, 0x01020304);
    datagram[32] = 5 << 4;
    datagram[33] = 0x02;
    return datagram;
}

// What the path hands back within a second of sending the datagram.
std::vector<std::vector<std::uint8_t>> answers_to(SimulatedPath& path, const std::vector<std::uint8_t>& datagram) {
    std::vector<std::vector<std::uint8_t>> answers;
    path.on_answer([&](std::span<const std::uint8_t> answer, Clock::time_point) {
        answers.emplace_back(answer.begin(), answer.end());
    });
    EXPECT_FALSE(path.send(datagram, target, 443));
    asio::io_context io;
    asio::co_spawn(io, path.wait_until(path.now() + seconds(1)), asio::detached);
    io.run();
    return answers;
}

TEST(SimulatedPath, TheTargetAnswersATcpSynAsItsPortIsAndRoutersAsForAnyProbe) {
    for (const TcpAnswer port : {TcpAnswer::open, TcpAnswer::closed, TcpAnswer::silent}) {
        SimulatedHop web = hop(target, 8);
        web.tcp = port;
        SimulatedPath path(client, {hop(r1, 2), web}, seconds(60), 1);
        const auto answers = answers_to(path, tcp_syn(64));
        if (port == TcpAnswer::silent) {
            EXPECT_TRUE(answers.empty());
            continue;
        }
        ASSERT_EQ(answers.size(), 1u);
        const auto answer = packets::Ipv4View::read(answers[0]);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->protocol(), packets::protocol_tcp);
        EXPECT_EQ(answer->source(), target.v4());
        const auto segment = answer->payload();
        ASSERT_EQ(segment.size(), 20u);
        EXPECT_EQ(packets::read_u16(segment, 0), 443);
        EXPECT_EQ(packets::read_u16(segment, 2), 40000);
        EXPECT_EQ(packets::read_u32(segment, 8), 0x01020305u) << "acknowledges the SYN";
        EXPECT_EQ(segment[13], port == TcpAnswer::open ? 0x12 : 0x14) << "SYN-ACK, or RST-ACK";
        // The checksum over the pseudo-header and the segment sums to zero.
        std::vector<std::uint8_t> summed(12, 0);
        packets::write_u32(summed, 0, target.v4().number());
        packets::write_u32(summed, 4, client.v4().number());
        summed[9] = packets::protocol_tcp;
        packets::write_u16(summed, 10, 20);
        summed.insert(summed.end(), segment.begin(), segment.end());
        EXPECT_EQ(packets::internet_checksum(summed), 0);
    }
    SimulatedPath path(client, {hop(r1, 2), hop(target, 8)}, seconds(60), 1);
    const auto expired = answers_to(path, tcp_syn(1));
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0][9], packets::protocol_icmp);
    EXPECT_EQ(expired[0][20], packets::icmp_time_exceeded);
}

}  // namespace
