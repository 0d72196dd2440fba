#include <fcntl.h>
#include <sys/stat.h>
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
    // A shared folder such as /tmp may hold the name already: a file of ours
    // (an earlier process with the same pid) is replaced, while another user's
    // file, or a link laid there, is never written through.
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0 && errno == EEXIST) {
        struct stat existing {};
        if (::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) && existing.st_uid == ::geteuid() &&
            ::unlink(path.c_str()) == 0) {
            fd = ::open(path.c_str(), flags, 0644);
        } else {
            errno = EEXIST;
        }
    }
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
