#include <gtest/gtest.h>

#include <chrono>

#include "log/fill.hpp"
#include "log/log.hpp"

namespace {

using namespace tarnvale::log;
using namespace std::chrono;

const system_clock::time_point sample_time =
    sys_days{year{2026} / 12 / 6} + hours{16} + minutes{25} + seconds{59} + microseconds{31274};

TEST(LogLine, FormatWithoutFields) {
    EXPECT_EQ(format_line(Level::info, target::probe, "waiting for Python client on port=49152", {}, sample_time),
              R"({"timestamp":"2026-12-06T16:25:59.031274Z","level":"INFO","fields":{"message":)"
              R"("waiting for Python client on port=49152"},"target":"tarnvale_probe"})"
              "\n");
}

TEST(LogLine, FieldsInOrderWithTheirJsonTypes) {
    const std::string line =
        format_line(Level::warn, target::hop, "probe \"send\" failed\\", {{"ttl", std::uint8_t{3}}, {"seq", -2},
                                                                          {"rtt_ms", 1.5f}, {"ok", true},
                                                                          {"err", "No route"}},
                    sys_days{year{1999} / 1 / 2});
    EXPECT_EQ(line,
              R"({"timestamp":"1999-01-02T00:00:00.000000Z","level":"WARN","fields":{"message":)"
              R"("probe \"send\" failed\\","ttl":3,"seq":-2,"rtt_ms":1.5,"ok":true,"err":"No route"},)"
              R"("target":"tarnvale_probe::engines::hop"})"
              "\n");
}

TEST(LogLine, OnlyInfoAndAboveAreWritten) {
    EXPECT_FALSE(enabled(Level::trace));
    EXPECT_FALSE(enabled(Level::debug));
    EXPECT_TRUE(enabled(Level::info));
    EXPECT_TRUE(enabled(Level::warn));
    EXPECT_TRUE(enabled(Level::error));
}

TEST(MessageFill, PlaceholdersTakeArgumentsInOrder) {
    EXPECT_EQ(fill_message("engine '{}' starting for target '{}'", "hop", std::string("192.0.2.1")),
              "engine 'hop' starting for target '192.0.2.1'");
    EXPECT_EQ(fill_message("port={}", std::uint16_t{49152}), "port=49152");
    EXPECT_EQ(fill_message("no placeholder", 5), "no placeholder");
    EXPECT_EQ(fill_message("{} and {}", 1), "1 and {}");
}

}  // namespace
