#include "log/log.hpp"

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>

#include "json/compact_writer.hpp"
#include "log/rotating_file.hpp"

namespace tarnvale::log {

namespace {

std::atomic<RotatingFile*> installed_file{nullptr};

std::string_view level_name(Level level) {
    switch (level) {
        case Level::trace: return "TRACE";
        case Level::debug: return "DEBUG";
        case Level::info: return "INFO";
        case Level::warn: return "WARN";
        case Level::error: return "ERROR";
    }
    return "ERROR";
}

void append_padded(std::string& out, long value, int width) {
    std::array<char, 16> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%0*ld", width, value);
    out.append(buffer.data());
}

// 2026-12-06T16:25:59.031274Z
void append_timestamp(std::string& out, std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto micros = floor<microseconds>(when);
    const auto day = floor<days>(micros);
    const year_month_day date{day};
    const hh_mm_ss time{micros - day};
    out.push_back('"');
    append_padded(out, static_cast<int>(date.year()), 4);
    out.push_back('-');
    append_padded(out, static_cast<long>(static_cast<unsigned>(date.month())), 2);
    out.push_back('-');
    append_padded(out, static_cast<long>(static_cast<unsigned>(date.day())), 2);
    out.push_back('T');
    append_padded(out, static_cast<long>(time.hours().count()), 2);
    out.push_back(':');
    append_padded(out, static_cast<long>(time.minutes().count()), 2);
    out.push_back(':');
    append_padded(out, static_cast<long>(time.seconds().count()), 2);
    out.push_back('.');
    append_padded(out, static_cast<long>(time.subseconds().count()), 6);
    out.append("Z\"");
}

void append_value(std::string& out, const Field::Value& value) {
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::int64_t>) {
                json::append_i64(out, v);
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                json::append_u64(out, v);
            } else if constexpr (std::is_same_v<T, float>) {
                json::append_f32(out, v);
            } else if constexpr (std::is_same_v<T, double>) {
                json::append_f64(out, v);
            } else if constexpr (std::is_same_v<T, bool>) {
                json::append_bool(out, v);
            } else {
                json::append_string(out, v);
            }
        },
        value);
}

}  // namespace

std::string format_line(Level level, std::string_view target, std::string_view message, Fields fields,
                        std::chrono::system_clock::time_point when) {
    std::string line;
    line.reserve(160 + message.size());
    line.push_back('{');
    json::append_key(line, "timestamp");
    append_timestamp(line, when);
    line.push_back(',');
    json::append_key(line, "level");
    json::append_string(line, level_name(level));
    line.push_back(',');
    json::append_key(line, "fields");
    line.push_back('{');
    json::append_key(line, "message");
    json::append_string(line, message);
    for (const Field& field : fields) {
        line.push_back(',');
        json::append_string(line, field.name);
        line.push_back(':');
        append_value(line, field.value);
    }
    line.append("},");
    json::append_key(line, "target");
    json::append_string(line, target);
    line.append("}\n");
    return line;
}

void install(std::filesystem::path path, platform::RecordFile file) {
    // The file stays installed until the process ends; records may be written
    // from any thread up to the last moment, so it is never freed.
    auto* installed = new RotatingFile(std::move(path), std::move(file));
    delete installed_file.exchange(installed);
}

void emit(Level level, std::string_view target, std::string_view message, Fields fields) {
    if (!enabled(level)) {
        return;
    }
    RotatingFile* file = installed_file.load(std::memory_order_acquire);
    if (file == nullptr) {
        return;
    }
    const std::string line = format_line(level, target, message, fields, std::chrono::system_clock::now());
    if (const std::error_code error = file->write(line)) {
        std::fprintf(stderr, "failed to write log record: %s\n", error.message().c_str());
    }
}

}  // namespace tarnvale::log
