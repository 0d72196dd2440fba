// Any line a client may send: the decoder must not crash, and a frame it
// accepts must come back the same when written out again in either form.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "ipc/command_frame.hpp"

namespace {

using tarnvale::ipc::CommandFrame;

template <typename T>
nlohmann::json value_or_null(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json as_array(const CommandFrame& frame) {
    return nlohmann::json::array({frame.cmd, value_or_null(frame.version), value_or_null(frame.pid),
                                  value_or_null(frame.engine), value_or_null(frame.target),
                                  value_or_null(frame.max_hops), value_or_null(frame.interface),
                                  value_or_null(frame.probe_count), value_or_null(frame.poll_interval_ms),
                                  value_or_null(frame.interval_ms), value_or_null(frame.filter)});
}

nlohmann::json as_object(const CommandFrame& frame) {
    static const char* const names[] = {"cmd",      "version",     "pid",              "engine",
                                        "target",   "max_hops",    "interface",        "probe_count",
                                        "poll_interval_ms", "interval_ms", "filter"};
    const nlohmann::json members = as_array(frame);
    nlohmann::json object = nlohmann::json::object();
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (!members[i].is_null()) {
            object[names[i]] = members[i];
        }
    }
    return object;
}

void expect_same(const std::string& text, const CommandFrame& frame) {
    const auto again = tarnvale::ipc::decode_line(text + "\n");
    const auto* decoded = std::get_if<CommandFrame>(&again);
    if (decoded == nullptr || !(*decoded == frame)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto decoded = tarnvale::ipc::decode_line(line);
    const auto* frame = std::get_if<CommandFrame>(&decoded);
    if (frame == nullptr) {
        return 0;
    }
    expect_same(as_object(*frame).dump(), *frame);
    expect_same(as_array(*frame).dump(), *frame);
    return 0;
}
