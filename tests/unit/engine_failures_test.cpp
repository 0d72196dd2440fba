// How engines fail: each reports its own failure to the client and ends, or
// goes on and tells of packets the system would not send; the probe and the
// other engines go on in every case.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engines/bandwidth/bw_receiver.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "engines/bandwidth/train_sweep.hpp"
#include "engines/hop/hop_report.hpp"
#include "engines/send_failures.hpp"
#include "hop_loop.hpp"
#include "ipc/wire_names.hpp"
#include "log/log.hpp"
#include "loop_harness.hpp"
#include "simulated_path.hpp"

namespace {

using namespace tarnvale;
using engines::SendFailures;
using sim::hop_at;
using sim::SimulatedPath;
using std::chrono::seconds;
using namespace sim::test_network;

const std::error_code refused = std::make_error_code(std::errc::operation_not_permitted);
const std::error_code unreachable = std::make_error_code(std::errc::network_unreachable);

std::vector<ipc::ErrorEvent> errors_in(const std::vector<ipc::Event>& events) {
    std::vector<ipc::ErrorEvent> errors;
    for (const auto& event : events) {
        if (const auto* error = std::get_if<ipc::ErrorEvent>(&event)) {
            errors.push_back(*error);
        }
    }
    return errors;
}

// The bandwidth engine's train loop toward the server, as the engine sets it up by default.
engines::bandwidth::TrainShared trains_to_server() {
    return {server,
            50000,
            30,
            3,
            5000,
            std::make_shared<engines::bandwidth::HopSampleTable>(31),
            std::make_shared<engines::bandwidth::FlowSampleTable>(engines::bandwidth::train_flow_count, 31),
            std::make_shared<engines::bandwidth::TrainRegistry>(),
            std::make_shared<engines::bandwidth::TargetDistance>(31),
            std::make_shared<engines::PathRoute>(client, 0)};
}

TEST(SendFailures, ACauseIsToldWhenItAppearsThenWithItsCountAtMostOncePerPeriod) {
    SendFailures failures(seconds(7));
    const SendFailures::Clock::time_point start{};
    EXPECT_TRUE(failures.take_due(start).empty()) << "nothing failed";

    failures.record("probes", refused);
    auto due = failures.take_due(start);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_TRUE(due[0].first);
    EXPECT_EQ(due[0].count, 1u);
    EXPECT_EQ(due[0].cause, refused);
    EXPECT_EQ(engines::send_failure_message(due[0]), "probes not sent: " + refused.message() + " (1 so far)");

    for (int i = 0; i < 40; ++i) {
        failures.record("probes", refused);
    }
    EXPECT_TRUE(failures.take_due(start + seconds(6)).empty()) << "within the period of the last notice";
    due = failures.take_due(start + seconds(7));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_FALSE(due[0].first);
    EXPECT_EQ(due[0].count, 40u);
    EXPECT_EQ(due[0].total, 41u);
    EXPECT_EQ(engines::send_failure_message(due[0]), "probes not sent: " + refused.message() + " (40 more, 41 in all)");

    EXPECT_TRUE(failures.take_due(start + seconds(60)).empty()) << "the cause has stopped: nothing more to tell";
}

TEST(SendFailures, EachCauseAndEachKindOfPacketIsToldOnItsOwn) {
    SendFailures failures(seconds(7));
    const SendFailures::Clock::time_point start{};
    failures.record("probes", refused);
    failures.take_due(start);
    failures.record("probes", refused);
    failures.record("probes", unreachable);
    failures.record("echo requests", refused);
    const auto due = failures.take_due(start + seconds(1));
    ASSERT_EQ(due.size(), 2u) << "the new causes at once; the known one waits for its period";
    for (const auto& notice : due) {
        EXPECT_TRUE(notice.first);
        EXPECT_FALSE(notice.what == "probes" && notice.cause == refused);
    }
}

// An engine task that starts two threads the way engines do, the second refused
// by the system.
struct RefusedThreadRun {
    bool started_second = true;
    std::atomic<bool> first_stopped = false;
};

TEST(EngineThreadFailure, AnEngineRefusedAThreadSendsItsErrorAndEndsWhileTheProbeRunsOn) {
    sim::LoopHarness harness;
    asio::thread_pool joiner(1);
    RefusedThreadRun run;
    int starts = 0;
    const runtime::ThreadStarter refuse_second = [&starts](std::function<void()> body) {
        if (++starts == 2) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
    };
    const engines::EngineIdentity engine{ipc::engine_name::hop, log::target::hop};
    auto engine_task = [&]() -> asio::awaitable<void> {
        runtime::EngineThreads threads(joiner.get_executor(), refuse_second);
        const auto stop = threads.stop();
        // Bodies named, not built inside the co_await: GCC 12 can destroy such a temporary twice.
        std::function<void()> waits_for_stop = [stop, &run] {
            while (!stop->raised()) {
                stop->sleep_for(std::chrono::milliseconds(5));
            }
            run.first_stopped = true;
        };
        const bool started_first = co_await engines::start_thread(harness.outlets(), engine, threads, "first",
                                                                  "failed first", std::move(waits_for_stop));
        EXPECT_TRUE(started_first);
        std::function<void()> never_runs = [] {};
        run.started_second = co_await engines::start_thread(harness.outlets(), engine, threads, "second",
                                                            "failed to spawn pinger thread", std::move(never_runs));
    };
    EXPECT_FALSE(harness.run(engine_task())) << "the engine ends by itself, not by an abort or an exception";
    joiner.join();

    EXPECT_FALSE(run.started_second);
    EXPECT_TRUE(run.first_stopped) << "the thread started before the refusal is stopped and joined";
    const auto errors = errors_in(harness.take_events());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].engine, ipc::engine_name::hop);
    EXPECT_EQ(errors[0].code, ipc::error_code::thread_start_fail);
    EXPECT_TRUE(errors[0].fatal);
    EXPECT_EQ(errors[0].message.rfind("failed to spawn pinger thread: ", 0), 0u) << errors[0].message;
}

std::vector<ipc::PathStatusEvent> path_statuses_in(const std::vector<ipc::Event>& events) {
    std::vector<ipc::PathStatusEvent> statuses;
    for (const auto& event : events) {
        if (const auto* status = std::get_if<ipc::PathStatusEvent>(&event)) {
            statuses.push_back(*status);
        }
    }
    return statuses;
}

// Seconds since the simulated path's start of an event's `ts`.
std::uint64_t run_seconds(std::uint64_t ts) { return ts - 1'800'000'000u; }

TEST(EnginePathOutage, TheTrainLoopWaitsOutAnOutageAndSaysWhenItCannotMeasureAndWhenItCanAgain) {
    SimulatedPath path(client, {hop_at(r1), hop_at(server)}, seconds(180), 1);
    path.lose_route(unreachable, seconds(60), seconds(90));
    sim::LoopHarness harness([&path] { return path.network_changes(); });
    const engines::bandwidth::TrainShared shared = trains_to_server();
    const engines::bandwidth::BandwidthReceiverShared receiver{server,         shared.source_port, shared.trains,
                                                               shared.samples, shared.flow_samples, shared.distance,
                                                               std::make_shared<runtime::StopFlag>()};
    path.on_answer([&receiver](std::span<const std::uint8_t> datagram, SimulatedPath::Clock::time_point arrival) {
        engines::bandwidth::handle_answer(receiver, datagram, arrival);
    });
    EXPECT_TRUE(harness.run(engines::bandwidth::send_trains_forever(shared, path, harness.outlets())))
        << "the loop runs until the path's time is over";
    const auto events = harness.take_events();
    EXPECT_TRUE(errors_in(events).empty()) << "an outage is no engine failure";
    const auto statuses = path_statuses_in(events);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].engine, ipc::engine_name::bandwidth);
    EXPECT_EQ(statuses[0].status, ipc::path_status::no_route);
    EXPECT_NE(statuses[0].detail.find("203.0.113.10"), std::string::npos) << statuses[0].detail;
    EXPECT_EQ(statuses[1].status, ipc::path_status::restored);
    EXPECT_GE(run_seconds(statuses[0].ts), 60u);
    EXPECT_LE(run_seconds(statuses[1].ts), 91u) << "looked at again within a wait of the route's return";
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const ipc::Event& event) {
        const auto* estimate = std::get_if<ipc::BwEstimateEvent>(&event);
        return estimate != nullptr && estimate->ts > statuses[1].ts;
    })) << "measuring again after the return";
}

TEST(EnginePathOutage, NoHopCountsTheOutageAsLossAndNothingIsReportedWhileItLasts) {
    SimulatedPath path(client, {hop_at(r1), hop_at(r2), hop_at(r3), hop_at(server)}, seconds(300), 1);
    path.lose_route(unreachable, seconds(100), seconds(130));
    sim::SimulatedHopLoop loop(path, server);
    loop.add_pinger();
    EXPECT_TRUE(loop.run(5000));
    const auto events = loop.take_events();
    EXPECT_TRUE(errors_in(events).empty());
    const auto statuses = path_statuses_in(events);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].engine, ipc::engine_name::hop);
    EXPECT_EQ(statuses[0].status, ipc::path_status::no_route);
    EXPECT_EQ(statuses[1].status, ipc::path_status::restored);
    std::size_t after_return = 0;
    for (const auto& event : events) {
        if (const auto* loss = std::get_if<ipc::HopLossEvent>(&event)) {
            EXPECT_EQ(loss->loss_pct, 0.0f) << "hop " << int{loss->hop} << " at " << run_seconds(loss->ts) << " s";
            EXPECT_FALSE(loss->ts > statuses[0].ts && loss->ts < statuses[1].ts) << "reported without a route";
            after_return += loss->ts > statuses[1].ts ? 1 : 0;
        }
    }
    EXPECT_GT(after_return, 0u);
    for (const auto& hop : loop.shared().table->snapshot()) {
        EXPECT_EQ(hop.lost_total + hop.echo_lost_total + hop.tcp_lost_total, 0u)
            << "a probe or ping in flight at the outage counts as nothing";
    }
}

TEST(EngineSourceFailure, TheHopEngineFindsNoSourceAsNoRoute) {
    SimulatedPath path(client, {hop_at(r1), hop_at(server)}, seconds(60), 1);
    path.lose_route(unreachable);
    sim::LoopHarness harness;
    auto lookup = [&]() -> asio::awaitable<void> {
        const auto source =
            co_await engines::find_source(harness.outlets(), path, {ipc::engine_name::hop, log::target::hop}, server);
        EXPECT_FALSE(source);
    };
    EXPECT_FALSE(harness.run(lookup()));
    const auto errors = errors_in(harness.take_events());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].engine, ipc::engine_name::hop);
    EXPECT_EQ(errors[0].code, ipc::error_code::no_route);
    EXPECT_TRUE(errors[0].fatal);
}

// A local firewall refusing 30 % of the hop engine's probes for five minutes.
struct RefusedProbesRun {
    std::vector<engines::hop::HopStats> hops;
    std::vector<ipc::ErrorEvent> errors;
    std::vector<ipc::HopUnsentEvent> unsent;
    std::vector<ipc::HopLossEvent> losses;
};

RefusedProbesRun run_with_refusals(double share) {
    SimulatedPath path(client, {hop_at(r1), hop_at(r2), hop_at(r3), hop_at(server)}, seconds(300), 11);
    path.refuse_sends(share, refused);
    sim::SimulatedHopLoop loop(path, server);
    EXPECT_TRUE(loop.run(5000));
    RefusedProbesRun run{loop.shared().table->snapshot(), {}, {}, {}};
    for (const auto& event : loop.take_events()) {
        if (const auto* error = std::get_if<ipc::ErrorEvent>(&event)) {
            run.errors.push_back(*error);
        } else if (const auto* unsent = std::get_if<ipc::HopUnsentEvent>(&event)) {
            run.unsent.push_back(*unsent);
        } else if (const auto* loss = std::get_if<ipc::HopLossEvent>(&event)) {
            run.losses.push_back(*loss);
        }
    }
    return run;
}

TEST(HopSendFailures, RefusedProbesAreToldOncePerCauseAndPeriodAndAreNeitherLossNorAnswers) {
    const auto run = run_with_refusals(0.3);

    // The TTL-limited probes and the target's TCP probes are told apart.
    std::vector<ipc::ErrorEvent> probe_errors;
    std::size_t tcp_errors = 0;
    for (const auto& error : run.errors) {
        EXPECT_EQ(error.engine, ipc::engine_name::hop);
        EXPECT_EQ(error.code, ipc::error_code::send_fail);
        EXPECT_FALSE(error.fatal);
        if (error.message.starts_with("TCP probes")) {
            ++tcp_errors;
        } else {
            probe_errors.push_back(error);
        }
    }
    EXPECT_GE(tcp_errors, 10u) << "a probe in each of 60 sweeps, three in ten refused";
    ASSERT_FALSE(probe_errors.empty());
    EXPECT_EQ(probe_errors[0].message, "probes not sent: " + refused.message() + " (1 so far)");
    std::uint64_t told = 1;
    for (std::size_t index = 1; index < probe_errors.size(); ++index) {
        const std::string& message = probe_errors[index].message;
        ASSERT_NE(message.find(" more, "), std::string::npos) << message;
        told += std::stoull(message.substr(message.rfind('(') + 1));
    }
    EXPECT_LE(probe_errors.size(), 300u / 7 + 2) << "one event per period at most, not one per probe";
    EXPECT_GE(probe_errors.size(), 25u) << "told again while it goes on";

    std::uint64_t unsent_total = 0;
    std::uint64_t sent_total = 0;
    for (std::size_t ttl = 1; ttl <= 4; ++ttl) {
        const auto& hop = run.hops[ttl];
        EXPECT_EQ(hop.lost_total, 0u) << "a refused probe is not a lost one, hop " << ttl;
        EXPECT_LE(hop.outcomes_total, hop.sent_total) << "only sent probes have outcomes";
        EXPECT_GE(hop.outcomes_total + 1, hop.sent_total) << "every sent probe has one (one may be pending)";
        unsent_total += hop.unsent_total;
        sent_total += hop.sent_total;
    }
    EXPECT_NEAR(static_cast<double>(unsent_total) / static_cast<double>(unsent_total + sent_total), 0.3, 0.08);
    EXPECT_LE(told, unsent_total + 30) << "the counts told do not exceed the probes refused";
    EXPECT_GE(told + 30, unsent_total) << "the probes refused are told, to those of the last period";

    std::uint64_t reported_unsent = 0;
    for (const auto& event : run.unsent) {
        EXPECT_GE(event.hop, 1u);
        EXPECT_LE(event.hop, 4u) << "no hop beyond the target";
        EXPECT_GT(event.unsent, 0u);
        reported_unsent += event.unsent;
    }
    EXPECT_GE(reported_unsent + 8, unsent_total) << "hop_unsent counts every refused probe up to the last cycle";
    for (const auto& loss : run.losses) {
        EXPECT_EQ(loss.loss_pct, 0.0F) << "refused probes are not loss, hop " << int{loss.hop};
    }
}

TEST(HopSendFailures, WithoutRefusalsThereIsNoSendFailAndNoHopUnsent) {
    const auto run = run_with_refusals(0.0);
    EXPECT_TRUE(run.errors.empty());
    EXPECT_TRUE(run.unsent.empty());
    EXPECT_EQ(run.hops[4].unsent_total, 0u);
}

TEST(HopUnsentEvents, CountTheCycleSProbesByHopWithTheHopAddressWhenKnown) {
    std::vector<engines::hop::HopStats> previous(4);
    std::vector<engines::hop::HopStats> now(4);
    previous[1].sent_total = 5;
    previous[1].unsent_total = 2;
    now[1].sent_total = 7;
    now[1].unsent_total = 5;
    now[1].addr = r1;
    now[2].sent_total = 3;    // sent, none refused: no event
    now[3].unsent_total = 4;  // no reply ever named the hop
    const auto events = engines::hop::build_hop_unsent_events(now, previous, 42, 3);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].hop, 1u);
    EXPECT_EQ(events[0].addr, "192.168.1.1");
    EXPECT_EQ(events[0].sent, 2u);
    EXPECT_EQ(events[0].unsent, 3u);
    EXPECT_EQ(events[1].hop, 3u);
    EXPECT_EQ(events[1].addr, "");
    EXPECT_EQ(events[1].unsent, 4u);
    EXPECT_EQ(ipc::serialize(ipc::Event(events[0])),
              R"({"type":"hop_unsent","ts":42,"hop":1,"addr":"192.168.1.1","sent":2,"unsent":3})");
    EXPECT_EQ(engines::hop::build_hop_unsent_events(now, previous, 42, 2).size(), 1u) << "not beyond last_ttl";
}

TEST(TrainSendFailures, RefusedTrainsAreToldAsTheBandwidthEngineSSendFail) {
    SimulatedPath path(client, {hop_at(r1), hop_at(server)}, seconds(120), 3);
    path.refuse_sends(0.05, refused);
    sim::LoopHarness harness;
    const engines::bandwidth::TrainShared shared = trains_to_server();
    EXPECT_TRUE(harness.run(engines::bandwidth::send_trains_forever(shared, path, harness.outlets())));
    const auto errors = errors_in(harness.take_events());
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].code, ipc::error_code::send_fail);
    EXPECT_EQ(errors[0].engine, ipc::engine_name::bandwidth);
    EXPECT_FALSE(errors[0].fatal);
    EXPECT_EQ(errors[0].message.rfind("trains not sent: ", 0), 0u) << errors[0].message;
    EXPECT_LE(errors.size(), 120u / 7 + 2);
}

}  // namespace
