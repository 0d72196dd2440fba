#pragma once

#include <string>

namespace tarnvale::probe {

// A failed start-up step: what failed, and the underlying error.
struct StartupError {
    std::string context;
    std::string cause;
};

// The text for standard error:
// "Error: {context}\n\nCaused by:\n    {cause}\n".
std::string describe(const StartupError& error);

}  // namespace tarnvale::probe
