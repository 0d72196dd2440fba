#include "json/compact_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "json/utf8.hpp"

namespace tarnvale::json {

namespace {

// Lays out shortest round-trip digits d1..dm with decimal exponent n
// (value = d1.d2...dm x 10^n).
void append_decimal(std::string& out, std::string_view digits, int exponent) {
    const int count = static_cast<int>(digits.size());
    if (exponent >= -6 && exponent <= 12) {
        if (exponent >= count - 1) {
            out.append(digits);
            out.append(static_cast<std::size_t>(exponent - count + 1), '0');
            out.append(".0");
        } else if (exponent >= 0) {
            const auto point = static_cast<std::size_t>(exponent + 1);
            out.append(digits.substr(0, point));
            out.push_back('.');
            out.append(digits.substr(point));
        } else {
            out.append("0.");
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(digits);
        }
        return;
    }
    out.push_back(digits[0]);
    if (count > 1) {
        out.push_back('.');
        out.append(digits.substr(1));
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    append_u64(out, static_cast<std::uint64_t>(std::abs(exponent)));
}

template <typename Float>
void append_float(std::string& out, Float value) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    if (std::signbit(value)) {
        out.push_back('-');
        value = -value;
    }
    if (value == 0) {
        out.append("0.0");
        return;
    }
    // Scientific form without a precision is the shortest round-trip form:
    // "d[.ddd]e[+-]xx".
    std::array<char, 64> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific);
    const std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
    const std::size_t e = text.find('e');
    std::string digits;
    digits.reserve(e);
    for (std::size_t i = 0; i < e; ++i) {
        if (text[i] != '.') {
            digits.push_back(text[i]);
        }
    }
    int exponent = 0;
    const char* exponent_begin = text.data() + e + 1;
    if (*exponent_begin == '+') {
        ++exponent_begin;
    }
    std::from_chars(exponent_begin, text.data() + text.size(), exponent);
    append_decimal(out, digits, exponent);
}

void append_escaped_ascii(std::string& out, unsigned char c) {
    switch (c) {
        case '"': out.append("\\\""); return;
        case '\\': out.append("\\\\"); return;
        case '\b': out.append("\\b"); return;
        case '\f': out.append("\\f"); return;
        case '\n': out.append("\\n"); return;
        case '\r': out.append("\\r"); return;
        case '\t': out.append("\\t"); return;
        default: break;
    }
    if (c < 0x20) {
        static constexpr char hex[] = "0123456789abcdef";
        out.append("\\u00");
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 0x0F]);
        return;
    }
    out.push_back(static_cast<char>(c));
}

}  // namespace

void append_f32(std::string& out, float value) { append_float(out, value); }

void append_f64(std::string& out, double value) { append_float(out, value); }

void append_string(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c < 0x80) {
            append_escaped_ascii(out, c);
            ++pos;
            continue;
        }
        if (const auto point = utf8::decode(text, pos)) {
            out.append(text.substr(pos, point->length));
            pos += point->length;
        } else {
            out.append("\xEF\xBF\xBD");
            ++pos;
        }
    }
    out.push_back('"');
}

void append_u64(std::string& out, std::uint64_t value) {
    std::array<char, 24> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

void append_i64(std::string& out, std::int64_t value) {
    std::array<char, 24> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

void append_bool(std::string& out, bool value) { out.append(value ? "true" : "false"); }

void append_key(std::string& out, std::string_view name) {
    out.push_back('"');
    out.append(name);
    out.append("\":");
}

}  // namespace tarnvale::json
