#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/handle.hpp"

namespace tarnvale::platform {

// The user's temporary directory as the system reports it.
std::filesystem::path temp_directory();

// A file written by whole records: each write() is one system call, so records
// written from several threads never interleave within a record.
class RecordFile {
public:
    RecordFile() = default;

    // Creates the file, replacing one of this user's that has the name; others
    // may read, write and delete it while it is open. Fails, and writes nothing,
    // where the name holds another user's file or a link.
    static RecordFile create_truncated(const std::filesystem::path& path, std::error_code& error);

    std::error_code write(std::string_view record) const;

private:
    explicit RecordFile(std::intptr_t handle) : handle_(handle) {}
    OwnedFile handle_;
};

}  // namespace tarnvale::platform
