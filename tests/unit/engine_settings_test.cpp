// What a start_engine command's settings do, and the path loss that the hop
// engine hands the attribution engine.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "engines/engine_config.hpp"
#include "engines/path_loss.hpp"
#include "hop_loop.hpp"
#include "ipc/wire_names.hpp"
#include "simulated_path.hpp"

namespace {

using namespace tarnvale;
using engines::configure_engine;
using engines::EngineConfig;
using engines::EngineSettings;
using engines::PathLoss;
using engines::SettingsRefused;

EngineSettings settings(std::optional<std::uint8_t> max_hops, std::optional<std::uint64_t> interval_ms) {
    return {"192.0.2.7", "eth1", max_hops, interval_ms};
}

TEST(EngineSettings, TheHopEngineTakesMaxHopsAndIntervalWithinTheirBounds) {
    const auto configured = configure_engine(ipc::engine_name::hop, settings(10, 2000));
    ASSERT_TRUE(std::holds_alternative<EngineConfig>(configured));
    const auto& config = std::get<EngineConfig>(configured);
    EXPECT_EQ(config.target, "192.0.2.7");
    EXPECT_EQ(config.interface, "eth1");
    EXPECT_EQ(config.max_hops, 10);
    EXPECT_EQ(config.interval_ms, 2000u);

    for (const auto& [hops, interval] : {std::pair<std::uint8_t, std::uint64_t>{1, 1000}, {64, 60000}}) {
        const auto at_bounds = configure_engine(ipc::engine_name::hop, settings(hops, interval));
        EXPECT_TRUE(std::holds_alternative<EngineConfig>(at_bounds)) << int{hops} << " " << interval;
    }
}

TEST(EngineSettings, AbsentSettingsKeepTheDefaults) {
    const auto configured = configure_engine(ipc::engine_name::hop, {"h", std::nullopt, std::nullopt, std::nullopt});
    const auto& config = std::get<EngineConfig>(configured);
    EXPECT_EQ(config.max_hops, 30);
    EXPECT_EQ(config.interval_ms, 5000u);
    EXPECT_FALSE(config.interface);
}

TEST(EngineSettings, ValuesOutsideTheBoundsAreRefusedNamingTheSetting) {
    const std::vector<std::pair<EngineSettings, std::string>> cases = {
        {settings(0, std::nullopt), "max_hops 0 is outside 1 to 64"},
        {settings(65, std::nullopt), "max_hops 65 is outside 1 to 64"},
        {settings(std::nullopt, 999), "interval_ms 999 is outside 1000 to 60000"},
        {settings(30, 18446744073709551615ULL), "interval_ms 18446744073709551615 is outside 1000 to 60000"},
    };
    for (const auto& [asked, reason] : cases) {
        const auto configured = configure_engine(ipc::engine_name::hop, asked);
        ASSERT_TRUE(std::holds_alternative<SettingsRefused>(configured)) << reason;
        EXPECT_EQ(std::get<SettingsRefused>(configured).reason, reason);
    }
}

TEST(EngineSettings, OtherEnginesRunWithTheDefaultsWhateverTheHopSettings) {
    for (const auto engine : {ipc::engine_name::bandwidth, ipc::engine_name::attribution, ipc::engine_name::capture,
                              std::string_view("unknown")}) {
        const auto configured = configure_engine(engine, settings(0, 1));
        ASSERT_TRUE(std::holds_alternative<EngineConfig>(configured)) << engine;
        const auto& config = std::get<EngineConfig>(configured);
        EXPECT_EQ(config.max_hops, 30) << engine;
        EXPECT_EQ(config.interval_ms, 5000u) << engine;
        EXPECT_EQ(config.interface, "eth1") << engine;
    }
}

TEST(PathLossCell, ReadsTheLatestFigureOfTheRunningFeedsAndZeroWithoutOne) {
    const auto cell = std::make_shared<PathLoss>();
    EXPECT_EQ(cell->percent(), 0u);
    {
        PathLoss::Feed first(cell);
        EXPECT_EQ(cell->percent(), 0u) << "a feed without a figure";
        first.set(19.6F);
        EXPECT_EQ(cell->percent(), 20u);
        {
            PathLoss::Feed second(cell);
            second.set(5.0F);
            EXPECT_EQ(cell->percent(), 5u);
            first.set(35.0F);
            EXPECT_EQ(cell->percent(), 35u);
        }
        EXPECT_EQ(cell->percent(), 35u);
        first.set(250.0F);
        EXPECT_EQ(cell->percent(), 100u);
    }
    EXPECT_EQ(cell->percent(), 0u) << "no hop engine runs";
}

TEST(PathLossCell, TheHopReporterFeedsTheLossAtTheTargetSHopWhileItRuns) {
    using namespace sim::test_network;
    // A fifth of the packets into the target are lost: the target's hop shows it, the routers do not.
    sim::SimulatedPath path(client,
                            {sim::hop_at(r1), sim::hop_at(r2), {.address = server, .link = sim::steady_loss(0.2)}},
                            std::chrono::seconds(600), 5);
    sim::SimulatedHopLoop loop(path, server);
    const std::shared_ptr<PathLoss> cell = loop.outlets().path_loss;
    std::set<std::uint32_t> seen;
    loop.run(5000, [&](engines::AggregatorReport) { seen.insert(cell->percent()); });
    std::set<std::uint32_t> target_losses = {0};
    for (const auto& event : loop.take_events()) {
        if (const auto* loss = std::get_if<ipc::HopLossEvent>(&event)) {
            ASSERT_TRUE(loss->hop == 3 || loss->loss_pct == 0.0F) << "only the target's hop loses";
            target_losses.insert(static_cast<std::uint32_t>(std::lround(loss->loss_pct)));
        }
    }
    EXPECT_GT(target_losses.size(), 2u);
    EXPECT_GT(seen.size(), 2u) << "the cell follows the target's hop";
    for (const std::uint32_t value : seen) {
        EXPECT_TRUE(target_losses.contains(value)) << value << " is no figure of the target's hop";
    }
    EXPECT_EQ(cell->percent(), 0u) << "the engine has ended";
}

}  // namespace
