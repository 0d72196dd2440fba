#include "json/utf8.hpp"

#include <algorithm>
#include <array>

namespace tarnvale::utf8 {

std::optional<CodePoint> decode(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const std::size_t left = text.size() - pos;
    if (left == 0) {
        return std::nullopt;
    }
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return CodePoint{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (left < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return CodePoint{value, length};
}

bool is_valid(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        // ASCII runs are the common case and need no decoding.
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const auto point = decode(text, pos);
        if (!point) {
            return false;
        }
        pos += point->length;
    }
    return true;
}

namespace {

bool is_white_space(char32_t c) {
    static constexpr std::array<char32_t, 25> white_space = {
        0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
        0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
        0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    return std::find(white_space.begin(), white_space.end(), c) != white_space.end();
}

// Length of the character that ends at `end` (exclusive), for a valid text.
std::size_t last_char_length(std::string_view text, std::size_t end) {
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
        --start;
    }
    return end - start;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto point = decode(text, begin);
        if (!point || !is_white_space(point->value)) {
            break;
        }
        begin += point->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t length = last_char_length(text, end);
        const auto point = decode(text, end - length);
        if (!point || !is_white_space(point->value)) {
            break;
        }
        end -= length;
    }
    return text.substr(begin, end - begin);
}

}  // namespace tarnvale::utf8
