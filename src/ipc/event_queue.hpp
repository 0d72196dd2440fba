#pragma once

#include "ipc/events.hpp"
#include "runtime/bounded_queue.hpp"

namespace tarnvale::ipc {

using EventChannel = runtime::BoundedQueue<Event>;
using EventSender = runtime::QueueSender<Event>;

inline constexpr std::size_t event_queue_capacity = 512;

}  // namespace tarnvale::ipc
