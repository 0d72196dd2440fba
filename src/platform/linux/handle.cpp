#include <unistd.h>

#include "platform/handle.hpp"

namespace tarnvale::platform {

namespace {

void close_descriptor(std::intptr_t& descriptor) {
    if (descriptor >= 0) {
        ::close(static_cast<int>(descriptor));
        descriptor = -1;
    }
}

}  // namespace

template <>
void Owned<HandleKind::socket>::close() {
    close_descriptor(handle_);
}

template <>
void Owned<HandleKind::file>::close() {
    close_descriptor(handle_);
}

}  // namespace tarnvale::platform
