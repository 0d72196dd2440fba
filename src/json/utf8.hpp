#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnvale::utf8 {

struct CodePoint {
    char32_t value;
    std::size_t length;  // bytes taken from the input
};

// Decodes the well-formed UTF-8 sequence at `pos` (overlong forms, surrogates and
// values above U+10FFFF are ill-formed); nothing when the bytes there are not one.
std::optional<CodePoint> decode(std::string_view text, std::size_t pos);

bool is_valid(std::string_view text);

// Removes leading and trailing characters with the Unicode White_Space property.
// The text must be valid UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace tarnvale::utf8
