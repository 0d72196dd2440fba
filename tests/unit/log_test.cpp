#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "log/fill.hpp"
#include "log/log.hpp"
#include "log/rotating_file.hpp"
#include "platform/files.hpp"

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

namespace {

// "w<writer> n<number> " and number % 97 x's: each record's length tells whether it arrived whole. Built by
// appending: GCC 12 at -O3 takes `"w" + std::string(...)`, an insert at the front, for an overlapping copy
// (-Wrestrict, a false positive).
std::string numbered_record(int writer, int number) {
    std::string record = "w";
    record.append(std::to_string(writer)).append(" n").append(std::to_string(number)).append(" ");
    record.append(static_cast<std::size_t>(number % 97), 'x').append("\n");
    return record;
}

std::vector<std::string> lines_of(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const auto end = content.find('\n', start);
        lines.push_back(content.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            lines.back() += "<no line feed>";
            break;
        }
        start = end + 1;
    }
    return lines;
}

TEST(LogFile, SetAsideAtTheLimitWithEveryRecordWholeAndNoneLostAtTheSwitch) {
    const auto directory = std::filesystem::temp_directory_path() /
                           ("tarnvale_log_test_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(directory);
    const auto path = directory / "tv_1.log";
    std::error_code error;
    constexpr std::uint64_t limit = 4096;
    RotatingFile file(path, tarnvale::platform::RecordFile::create_truncated(path, error), limit);
    ASSERT_FALSE(error);

    // Four threads write numbered records of varying length at once.
    constexpr int threads = 4;
    constexpr int records = 500;
    std::vector<std::thread> writers;
    for (int writer = 0; writer < threads; ++writer) {
        writers.emplace_back([&file, writer] {
            for (int number = 0; number < records; ++number) {
                EXPECT_FALSE(file.write(numbered_record(writer, number)));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }

    const auto older = lines_of(RotatingFile::set_aside_path(path));
    const auto newest = lines_of(path);
    EXPECT_LE(std::filesystem::file_size(path), limit);
    EXPECT_LE(std::filesystem::file_size(RotatingFile::set_aside_path(path)), limit);
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".2"));
    // Read in order, the two files hold each writer's last records without a gap
    // and every line whole.
    std::array<int, threads> next{};
    next.fill(-1);
    for (const auto* lines : {&older, &newest}) {
        for (const std::string& line : *lines) {
            int writer = -1;
            int number = -1;
            ASSERT_EQ(std::sscanf(line.c_str(), "w%d n%d", &writer, &number), 2) << line;
            ASSERT_TRUE(writer >= 0 && writer < threads) << line;
            EXPECT_EQ(line.size(), line.find(' ', line.find(' ') + 1) + 1 + static_cast<std::size_t>(number % 97))
                << "a whole record: " << line;
            if (next[writer] >= 0) {
                EXPECT_EQ(number, next[writer]) << "a record lost at the switch";
            }
            next[writer] = number + 1;
        }
    }
    // A writer whose records are all in files set aside twice since has none left.
    EXPECT_NE(std::count(next.begin(), next.end(), records), 0);
    for (const int after_last : next) {
        EXPECT_TRUE(after_last == -1 || after_last == records) << after_last;
    }
    std::filesystem::remove_all(directory);
}

TEST(LogFile, AnEarlierFileOfOursIsReplacedButALinkOrAnotherUsersFileIsNeverWritten) {
    using tarnvale::platform::RecordFile;
    const auto directory = std::filesystem::temp_directory_path() /
                           ("tarnvale_log_test_" + std::to_string(steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(directory);
    const auto path = directory / "tv_7.log";
    std::error_code error;
    ASSERT_FALSE(RecordFile::create_truncated(path, error).write("left by an earlier process\n"));
    ASSERT_FALSE(error);
    ASSERT_FALSE(RecordFile::create_truncated(path, error).write("new\n"));
    EXPECT_FALSE(error);
    EXPECT_EQ(lines_of(path), std::vector<std::string>{"new"}) << "ours, begun afresh";

    const auto elsewhere = directory / "precious";
    std::ofstream(elsewhere) << "kept\n";
    std::filesystem::remove(path);
    std::filesystem::create_symlink(elsewhere, path);
    RecordFile::create_truncated(path, error);
    EXPECT_TRUE(error) << "a link laid at the name";
    EXPECT_EQ(lines_of(elsewhere), std::vector<std::string>{"kept"});

    std::filesystem::remove(path);
    if (::geteuid() == 0) {
        std::ofstream(path) << "another user's\n";
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        RecordFile::create_truncated(path, error);
        EXPECT_TRUE(error) << "another user's file";
        EXPECT_EQ(lines_of(path), std::vector<std::string>{"another user's"});
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
