#include "log/rotating_file.hpp"

namespace tarnvale::log {

std::filesystem::path RotatingFile::set_aside_path(const std::filesystem::path& path) {
    std::filesystem::path aside = path;
    aside += ".1";
    return aside;
}

std::error_code RotatingFile::write(std::string_view record) {
    const std::lock_guard lock(lock_);
    std::error_code aside_error;
    if (written_ > 0 && written_ + record.size() > limit_) {
        aside_error = set_aside();
    }
    written_ += record.size();
    const std::error_code write_error = file_.write(record);
    return write_error ? write_error : aside_error;
}

std::error_code RotatingFile::set_aside() {
    written_ = 0;
    std::error_code error;
    // Renamed while still open (others may rename it, on every system), so that
    // a failure leaves the current file in place.
    std::filesystem::rename(path_, set_aside_path(path_), error);
    if (error) {
        return error;
    }
    platform::RecordFile fresh = platform::RecordFile::create_truncated(path_, error);
    if (error) {
        return error;  // records go on to the renamed file
    }
    file_ = std::move(fresh);
    return {};
}

}  // namespace tarnvale::log
