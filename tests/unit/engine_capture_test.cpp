// What the client hears of an engine's capture: the hop and bandwidth engines
// run with a capture that cannot be opened, and the reports of a capture that
// stops delivering. The target is the loopback address: nothing leaves the host.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include "capture/receiver.hpp"
#include "engines/bandwidth/bw_engine.hpp"
#include "engines/capture_events.hpp"
#include "engines/hop/hop_engine.hpp"
#include "ipc/event_queue.hpp"
#include "ipc/wire_names.hpp"

namespace {

using namespace tarnvale;
using namespace std::chrono_literals;

class FailingOpener final : public capture::CaptureOpener {
public:
    std::variant<capture::OpenedCapture, capture::OpenFailure> open(
        const capture::CaptureRequest& request) const override {
        requested_device = request.device;
        return capture::OpenFailure{capture::OpenFailure::Step::device, "no capture device named 'eth9'"};
    }
    mutable std::optional<std::string> requested_device;
};

// An engine's outlets on one thread, and what it sent.
class EngineRun {
public:
    explicit EngineRun(std::shared_ptr<const capture::CaptureOpener> captures)
        : outlets_{ipc::EventSender(events_), engines::ReportSender(reports_), pool_.get_executor(),
                   std::make_shared<engines::AnswerBudgets>(), std::move(captures)} {}

    const engines::EngineOutlets& outlets() const { return outlets_; }

    // Runs the task for at most `limit` (an engine ends by itself when its capture fails).
    void run(asio::awaitable<void> task, std::chrono::milliseconds limit = 5s) {
        asio::co_spawn(io_, std::move(task), asio::detached);
        io_.run_for(limit);
        io_.restart();
    }

    std::vector<ipc::ErrorEvent> errors() {
        std::vector<ipc::ErrorEvent> taken;
        while (events_->ready()) {
            events_->try_receive([&taken](asio::error_code, ipc::Event event) {
                if (auto* error = std::get_if<ipc::ErrorEvent>(&event)) {
                    taken.push_back(*error);
                }
            });
        }
        return taken;
    }

private:
    asio::thread_pool pool_{1};  // destroyed last: it joins the engines' threads
    asio::io_context io_;
    std::shared_ptr<ipc::EventChannel> events_ = runtime::make_bounded_queue<ipc::Event>(io_.get_executor(), 16);
    std::shared_ptr<engines::ReportChannel> reports_ =
        runtime::make_bounded_queue<engines::AggregatorReport>(io_.get_executor(), 16);
    engines::EngineOutlets outlets_;
};

TEST(EngineCapture, EveryEngineWhoseCaptureCannotBeOpenedSaysSoAndEnds) {
    const std::vector<std::pair<std::string_view, engines::EngineEntry>> engines_to_run = {
        {ipc::engine_name::hop, engines::hop::run_hop_engine},
        {ipc::engine_name::bandwidth, engines::bandwidth::run_bandwidth_engine}};
    for (const auto& [name, entry] : engines_to_run) {
        const auto opener = std::make_shared<FailingOpener>();
        EngineRun run(opener);
        engines::EngineConfig config;
        config.target = "127.0.0.1";
        config.interface = "eth9";
        run.run(entry(config, run.outlets()));
        EXPECT_EQ(opener->requested_device, "eth9") << name << ": the configured interface";
        const auto errors = run.errors();
        ASSERT_EQ(errors.size(), 1u) << name;
        EXPECT_EQ(errors[0].engine, name);
        EXPECT_EQ(errors[0].code, ipc::error_code::capture_open_fail) << name;
        EXPECT_EQ(errors[0].message, "pcap capture open failed: no capture device named 'eth9'") << name;
        EXPECT_TRUE(errors[0].fatal) << name;
    }
}

TEST(EngineCapture, EachReadFailureIsOneErrorEventThatIsNotFatal) {
    EngineRun run(nullptr);
    const auto status = std::make_shared<capture::CaptureStatus>();
    const auto stop = std::make_shared<runtime::StopFlag>();
    status->set(capture::CaptureState::capturing);
    // The receiver's state changes while the reports run: a failure, a recovery,
    // two failures in quick succession (one change as the engine sees it), then the engine ends.
    std::thread receiver([&status, &stop] {
        std::this_thread::sleep_for(100ms);
        status->set(capture::CaptureState::read_failed, "interface went down");
        std::this_thread::sleep_for(600ms);
        status->set(capture::CaptureState::capturing);
        std::this_thread::sleep_for(600ms);
        status->set(capture::CaptureState::read_failed, "first");
        status->set(capture::CaptureState::read_failed, "second");
        std::this_thread::sleep_for(600ms);
        stop->raise();
    });
    run.run(
        [&]() -> asio::awaitable<void> {
            engines::spawn_capture_failure_reports(co_await asio::this_coro::executor, status,
                                                   run.outlets().events, ipc::engine_name::bandwidth, stop);
        }(),
        10s);
    receiver.join();
    const auto errors = run.errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].engine, ipc::engine_name::bandwidth);
    EXPECT_EQ(errors[0].code, ipc::error_code::capture_read_fail);
    EXPECT_EQ(errors[0].message, "pcap capture read failed: interface went down");
    EXPECT_FALSE(errors[0].fatal);
    EXPECT_EQ(errors[1].message, "pcap capture read failed: second");
}

}  // namespace
