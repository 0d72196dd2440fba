#include <unistd.h>

#include "platform/handle.hpp"

namespace tarnvale::platform {

void OwnedHandle::close() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

}  // namespace tarnvale::platform
