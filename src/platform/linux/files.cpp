#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/files.hpp"

namespace tarnvale::platform {

std::filesystem::path temp_directory() {
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && *dir != '\0') {
        return dir;
    }
    return "/tmp";
}

RecordFile RecordFile::create_truncated(const std::filesystem::path& path, std::error_code& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::error_code(errno, std::system_category());
        return RecordFile();
    }
    error.clear();
    return RecordFile(fd);
}

std::error_code RecordFile::write(std::string_view record) const {
    if (!handle_.valid()) {
        return std::make_error_code(std::errc::bad_file_descriptor);
    }
    for (;;) {
        const ssize_t written = ::write(static_cast<int>(handle_.native()), record.data(), record.size());
        if (written == static_cast<ssize_t>(record.size())) {
            return {};
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return std::error_code(errno, std::system_category());
        }
        // A short write (disk full) loses the rest of the record.
        return std::make_error_code(std::errc::no_space_on_device);
    }
}

}  // namespace tarnvale::platform
