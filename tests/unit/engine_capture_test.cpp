// What the client hears of an engine's capture: the hop, bandwidth and
// attribution engines run with a capture that cannot be opened, and the reports of a capture that
// stops delivering. The target is the loopback address: nothing leaves the host.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>

#include "capture/receiver.hpp"
#include "engines/attr/attr_engine.hpp"
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
    std::variant<std::string, capture::OpenFailure> choose(const capture::CaptureRequest&) const override {
        return capture::OpenFailure{capture::OpenFailure::Step::device, "no capture device named 'eth9'"};
    }
    mutable std::optional<std::string> requested_device;
};

// An engine's outlets on one thread, and what it sent.
class EngineRun {
public:
    explicit EngineRun(std::shared_ptr<const capture::CaptureOpener> captures)
        : outlets_{ipc::EventSender(events_), engines::ReportSender(reports_), pool_.get_executor(),
                   std::make_shared<engines::AnswerBudgets>(), std::make_shared<engines::PathLoss>(),
                   std::move(captures), [] { return std::uint64_t{0}; }} {}

    // Runs the joins of the engines' threads that ended engines handed to the pool,
    // which destroying the pool unjoined would abandon.
    ~EngineRun() { pool_.join(); }
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;

    const engines::EngineOutlets& outlets() const { return outlets_; }

    // Runs the task for at most `limit` (an engine ends by itself when its capture fails).
    void run(asio::awaitable<void> task, std::chrono::milliseconds limit = 5s) {
        asio::co_spawn(io_, std::move(task), asio::detached);
        advance(limit);
    }

    // Runs what was started for `duration` more.
    void advance(std::chrono::milliseconds duration) {
        io_.run_for(duration);
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
    asio::thread_pool pool_{1};  // for the joins of the engines' threads
    asio::io_context io_;
    std::shared_ptr<ipc::EventChannel> events_ = runtime::make_bounded_queue<ipc::Event>(io_.get_executor(), 16);
    std::shared_ptr<engines::ReportChannel> reports_ =
        runtime::make_bounded_queue<engines::AggregatorReport>(io_.get_executor(), 16);
    engines::EngineOutlets outlets_;
};

TEST(EngineCapture, EveryEngineWhoseCaptureCannotBeOpenedSaysSoAndEnds) {
    const std::vector<std::pair<std::string_view, engines::EngineEntry>> engines_to_run = {
        {ipc::engine_name::hop, engines::hop::run_hop_engine},
        {ipc::engine_name::bandwidth, engines::bandwidth::run_bandwidth_engine},
        {ipc::engine_name::attribution, engines::attr::run_attr_engine}};
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

asio::awaitable<void> start_failure_reports(std::shared_ptr<const capture::CaptureStatus> status,
                                            ipc::EventSender events, std::shared_ptr<runtime::StopFlag> stop) {
    engines::spawn_capture_failure_reports(co_await asio::this_coro::executor, std::move(status), std::move(events),
                                           ipc::engine_name::bandwidth, std::move(stop));
}

TEST(EngineCapture, EachReadFailureIsOneErrorEventThatIsNotFatal) {
    EngineRun run(nullptr);
    const auto status = std::make_shared<capture::CaptureStatus>();
    const auto stop = std::make_shared<runtime::StopFlag>();
    status->set(capture::CaptureState::capturing);
    // Each step runs the reports longer than they take to look at the state again.
    const auto step = 2 * engines::capture_failure_poll;
    run.run(start_failure_reports(status, run.outlets().events, stop), step);
    EXPECT_TRUE(run.errors().empty()) << "a capture that runs";

    status->set(capture::CaptureState::read_failed, "interface went down");
    run.advance(step);
    auto errors = run.errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].engine, ipc::engine_name::bandwidth);
    EXPECT_EQ(errors[0].code, ipc::error_code::capture_read_fail);
    EXPECT_EQ(errors[0].message, "pcap capture read failed: interface went down");
    EXPECT_FALSE(errors[0].fatal);
    run.advance(step);
    EXPECT_TRUE(run.errors().empty()) << "once per failure, not per look";

    status->set(capture::CaptureState::capturing);
    run.advance(step);
    EXPECT_TRUE(run.errors().empty()) << "the capture opened again";

    status->set(capture::CaptureState::read_failed, "first");
    status->set(capture::CaptureState::read_failed, "second");
    run.advance(step);
    errors = run.errors();
    ASSERT_EQ(errors.size(), 1u) << "two failures between two looks are one change";
    EXPECT_EQ(errors[0].message, "pcap capture read failed: second");

    stop->raise();
    run.advance(step);
    status->set(capture::CaptureState::read_failed, "after the engine");
    run.advance(step);
    EXPECT_TRUE(run.errors().empty()) << "the reports end with the engine";
}

}  // namespace
