#pragma once

#include <utility>

namespace tarnvale::platform {

// An owned operating-system handle (a file descriptor on Linux), closed when destroyed.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(long handle) : handle_(handle) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, -1);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { close(); }

    bool valid() const { return handle_ >= 0; }
    long native() const { return handle_; }

private:
    void close();
    long handle_ = -1;
};

}  // namespace tarnvale::platform
