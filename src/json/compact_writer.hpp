#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Writers for the compact JSON the probe emits (events, the CAPS reply and log
// lines). Member order is the caller's; these write single values.
namespace tarnvale::json {

// A 32-bit float as the wire form: shortest round-trip digits, fixed notation for
// decimal exponents -6..12, exponent notation otherwise; NaN and infinities as null.
void append_f32(std::string& out, float value);

// A 64-bit float for log fields: the same layout rules with double-precision digits.
void append_f64(std::string& out, double value);

// A JSON string with quotes. Invalid UTF-8 is replaced by U+FFFD so that every
// line the probe writes is valid UTF-8.
void append_string(std::string& out, std::string_view text);

void append_u64(std::string& out, std::uint64_t value);
void append_i64(std::string& out, std::int64_t value);
void append_bool(std::string& out, bool value);

// Appends `"name":` (the name is a literal of ours and needs no escaping).
void append_key(std::string& out, std::string_view name);

}  // namespace tarnvale::json
