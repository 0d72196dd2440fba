#include "probe/startup_error.hpp"

namespace tarnvale::probe {

std::string describe(const StartupError& error) {
    return "Error: " + error.context + "\n\nCaused by:\n    " + error.cause + "\n";
}

}  // namespace tarnvale::probe
