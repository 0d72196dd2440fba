#pragma once

#include <cstdint>
#include <utility>

namespace tarnvale::platform {

// Sockets and files are different handles on Windows (closed by different
// calls); on Linux both are file descriptors.
enum class HandleKind { socket, file };

// An owned operating-system handle, closed when destroyed.
template <HandleKind Kind>
class Owned {
public:
    static constexpr std::intptr_t invalid = -1;

    Owned() = default;
    explicit Owned(std::intptr_t handle) : handle_(handle) {}
    Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, invalid)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, invalid);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { close(); }

    bool valid() const { return handle_ != invalid; }
    std::intptr_t native() const { return handle_; }

private:
    void close();
    std::intptr_t handle_ = invalid;
};

// Defined by each system's implementation.
template <>
void Owned<HandleKind::socket>::close();
template <>
void Owned<HandleKind::file>::close();

using OwnedSocket = Owned<HandleKind::socket>;
using OwnedFile = Owned<HandleKind::file>;

}  // namespace tarnvale::platform
