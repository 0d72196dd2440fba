#include "engines/engine_config.hpp"

#include "ipc/wire_names.hpp"
#include "log/fill.hpp"

namespace tarnvale::engines {

namespace {

template <typename T>
std::optional<SettingsRefused> outside(std::string_view name, std::optional<T> value, T low, T high) {
    if (!value || (*value >= low && *value <= high)) {
        return std::nullopt;
    }
    const auto as_number = [](T number) { return static_cast<std::uint64_t>(number); };
    return SettingsRefused{
        log::fill_message("{} {} is outside {} to {}", name, as_number(*value), as_number(low), as_number(high))};
}

}  // namespace

std::variant<EngineConfig, SettingsRefused> configure_engine(std::string_view engine, EngineSettings settings) {
    EngineConfig config;
    config.target = std::move(settings.target);
    config.interface = std::move(settings.interface);
    if (engine != ipc::engine_name::hop) {
        return config;
    }
    if (auto refused = outside("max_hops", settings.max_hops, min_max_hops, max_max_hops)) {
        return *std::move(refused);
    }
    if (auto refused = outside("interval_ms", settings.interval_ms, min_interval_ms, max_interval_ms)) {
        return *std::move(refused);
    }
    config.max_hops = settings.max_hops.value_or(config.max_hops);
    config.interval_ms = settings.interval_ms.value_or(config.interval_ms);
    return config;
}

}  // namespace tarnvale::engines
