#include <exception>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/process.hpp"
#include "probe/probe.hpp"
#include "runtime/fail_fast.hpp"
#include "runtime/runtime.hpp"

int main(int argc, char** argv) {
    using namespace tarnvale;
    platform::prepare_standard_streams();
    platform::ignore_broken_pipe_signal();
    platform::bound_allocator_arenas();

    std::unique_ptr<runtime::Runtime> runtime;
    try {
        runtime = std::make_unique<runtime::Runtime>();
    } catch (const std::exception& failure) {
        runtime::fail_fast(std::string("Failed building the Runtime: ") + failure.what());
    }

    const std::optional<std::string_view> port_argument =
        argc > 1 ? std::optional<std::string_view>(argv[1]) : std::nullopt;
    try {
        return runtime->run(probe::run_probe(*runtime, port_argument));
    } catch (const std::exception& failure) {
        runtime::fail_fast(std::string("tarnvale_probe failed: ") + failure.what());
    }
}
