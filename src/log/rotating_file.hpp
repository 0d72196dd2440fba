#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>

#include "platform/files.hpp"

namespace tarnvale::log {

// How large the log file grows before it is set aside.
inline constexpr std::uint64_t log_size_limit = 16ULL * 1024 * 1024;

// The log file, bounded: a record that would take it past the limit first sets
// it aside under its name with ".1" appended (replacing an older one) and begins
// a new file, so that the two together never hold much more than twice the
// limit. Each record is written whole to one file or the other, under one lock.
class RotatingFile {
public:
    RotatingFile(std::filesystem::path path, platform::RecordFile file, std::uint64_t limit = log_size_limit)
        : path_(std::move(path)), file_(std::move(file)), limit_(limit) {}

    std::error_code write(std::string_view record);

    static std::filesystem::path set_aside_path(const std::filesystem::path& path);

private:
    // Renames the full file and opens a new one; on failure the current file
    // stays, and the next attempt comes after another `limit` bytes.
    std::error_code set_aside();

    std::mutex lock_;
    std::filesystem::path path_;
    platform::RecordFile file_;
    std::uint64_t limit_;
    std::uint64_t written_ = 0;
};

}  // namespace tarnvale::log
