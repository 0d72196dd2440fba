#pragma once

#include "ipc/events.hpp"

namespace tarnvale::probe {

// The facts the handshake tells the client, taken from the constants and the
// default configuration the engines run with.
ipc::ProbeFacts engine_facts();

}  // namespace tarnvale::probe
