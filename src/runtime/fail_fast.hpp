#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tarnvale::runtime {

// Ends the whole process at once, without unwinding, after saying why on
// standard error. Only for the process's own start-up (no runtime, no READY
// line): an engine that fails reports it and ends itself, never the probe.
[[noreturn]] inline void fail_fast(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace tarnvale::runtime
