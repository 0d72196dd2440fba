#include "ipc/command_frame.hpp"

#include <array>
#include <limits>
#include <nlohmann/json.hpp>

#include "json/utf8.hpp"

namespace tarnvale::ipc {

namespace {

enum class MemberType { command, text, u8, u32, u64 };

struct CommandMember {
    std::string_view name;
    MemberType type;
};

constexpr std::size_t member_count = 11;

constexpr std::array<CommandMember, member_count> members = {{
    {"cmd", MemberType::command},
    {"version", MemberType::text},
    {"pid", MemberType::u32},
    {"engine", MemberType::text},
    {"target", MemberType::text},
    {"max_hops", MemberType::u8},
    {"interface", MemberType::text},
    {"probe_count", MemberType::u32},
    {"poll_interval_ms", MemberType::u64},
    {"interval_ms", MemberType::u64},
    {"filter", MemberType::text},
}};

std::string_view expected_name(MemberType type) {
    switch (type) {
        case MemberType::command:
        case MemberType::text: return "a string";
        case MemberType::u8: return "u8";
        case MemberType::u32: return "u32";
        case MemberType::u64: return "u64";
    }
    return "a string";
}

std::uint64_t max_of(MemberType type) {
    switch (type) {
        case MemberType::u8: return std::numeric_limits<std::uint8_t>::max();
        case MemberType::u32: return std::numeric_limits<std::uint32_t>::max();
        default: return std::numeric_limits<std::uint64_t>::max();
    }
}

// Builds a CommandFrame from the parser's events, checking every rule as the
// values arrive, and stops at the first broken one.
class FrameBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override {
        if (skipping()) {
            return true;
        }
        const auto slot = take_slot();
        if (!slot) {
            return top_level_type_error("null");
        }
        if (*slot == member_skipped) {
            return true;
        }
        if (members[*slot].type == MemberType::command) {
            return type_error("null", *slot);
        }
        return true;  // null leaves the member absent
    }

    bool boolean(bool value) override {
        return scalar(value ? "boolean `true`" : "boolean `false`");
    }

    bool number_integer(number_integer_t value) override {
        if (value >= 0) {
            return number_unsigned(static_cast<number_unsigned_t>(value));
        }
        if (skipping()) {
            return true;
        }
        const auto slot = take_slot();
        if (!slot) {
            return top_level_type_error("integer `" + std::to_string(value) + "`");
        }
        if (*slot == member_skipped) {
            return true;
        }
        const MemberType type = members[*slot].type;
        if (type == MemberType::command || type == MemberType::text) {
            return type_error("integer `" + std::to_string(value) + "`", *slot);
        }
        return fail("invalid value: integer `" + std::to_string(value) + "`, expected " +
                    std::string(expected_name(type)));
    }

    bool number_unsigned(number_unsigned_t value) override {
        if (skipping()) {
            return true;
        }
        const auto slot = take_slot();
        const std::string shown = "integer `" + std::to_string(value) + "`";
        if (!slot) {
            return top_level_type_error(shown);
        }
        if (*slot == member_skipped) {
            return true;
        }
        const MemberType type = members[*slot].type;
        if (type == MemberType::command || type == MemberType::text) {
            return type_error(shown, *slot);
        }
        if (value > max_of(type)) {
            return fail("invalid value: " + shown + ", expected " + std::string(expected_name(type)));
        }
        switch (*slot) {
            case 2: frame_.pid = static_cast<std::uint32_t>(value); break;
            case 5: frame_.max_hops = static_cast<std::uint8_t>(value); break;
            case 7: frame_.probe_count = static_cast<std::uint32_t>(value); break;
            case 8: frame_.poll_interval_ms = value; break;
            case 9: frame_.interval_ms = value; break;
            default: break;
        }
        return true;
    }

    bool number_float(number_float_t, const string_t& text) override {
        return scalar("floating point `" + text + "`");
    }

    bool string(string_t& value) override {
        if (skipping()) {
            return true;
        }
        const auto slot = take_slot();
        if (!slot) {
            return top_level_type_error("string \"" + value + "\"");
        }
        if (*slot == member_skipped) {
            return true;
        }
        std::optional<std::string>* text_member = nullptr;
        switch (*slot) {
            case 0: frame_.cmd = std::move(value); return true;
            case 1: text_member = &frame_.version; break;
            case 3: text_member = &frame_.engine; break;
            case 4: text_member = &frame_.target; break;
            case 6: text_member = &frame_.interface; break;
            case 10: text_member = &frame_.filter; break;
            default: return type_error("string \"" + value + "\"", *slot);
        }
        *text_member = std::move(value);
        return true;
    }

    bool binary(binary_t&) override { return scalar("bytes"); }

    bool start_object(std::size_t) override { return open_container(Container::object, "map"); }

    bool end_object() override { return close_container(); }

    bool start_array(std::size_t) override { return open_container(Container::array, "sequence"); }

    bool end_array() override {
        if (depth_ == 1 && top_ == Container::array && array_length_ != member_count) {
            const std::size_t shown = array_length_ == 0 ? 1 : array_length_;
            return fail("invalid length " + std::to_string(shown) + ", expected struct CommandFrame with 11 elements");
        }
        return close_container();
    }

    bool key(string_t& name) override {
        if (depth_ != 1) {
            return true;
        }
        pending_member_ = member_skipped;
        for (std::size_t i = 0; i < member_count; ++i) {
            if (members[i].name == name) {
                if (seen_[i]) {
                    return fail("duplicate field `" + name + "`");
                }
                seen_[i] = true;
                pending_member_ = i;
                break;
            }
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        // Drop the library's "[json.exception.parse_error.101] " prefix.
        std::string_view text = error.what();
        if (const auto end = text.find("] "); text.starts_with("[json.exception.") && end != std::string_view::npos) {
            text.remove_prefix(end + 2);
        }
        error_ = std::string(text);
        return false;
    }

    DecodeResult result() && {
        if (!error_.empty()) {
            return DecodeError{std::move(error_)};
        }
        return std::move(frame_);
    }

private:
    enum class Container { none, object, array };
    static constexpr std::size_t member_skipped = member_count;

    // Inside a value that is skipped or that already failed as a type.
    bool skipping() const { return depth_ > 1; }

    // The member the next value at depth 1 belongs to: its index, member_skipped
    // for an unknown member or an array element past the eleventh, or nothing
    // when the value is the whole line.
    std::optional<std::size_t> take_slot() {
        if (depth_ == 0) {
            return std::nullopt;
        }
        if (top_ == Container::array) {
            const std::size_t index = array_length_++;
            return index < member_count ? index : member_skipped;
        }
        return pending_member_;
    }

    bool scalar(const std::string& shown) {
        if (skipping()) {
            return true;
        }
        const auto slot = take_slot();
        if (!slot) {
            return top_level_type_error(shown);
        }
        if (*slot == member_skipped) {
            return true;
        }
        return type_error(shown, *slot);
    }

    bool open_container(Container kind, std::string_view shown) {
        if (depth_ == 0) {
            top_ = kind;
            depth_ = 1;
            return true;
        }
        if (depth_ == 1) {
            const auto slot = take_slot();
            if (slot && *slot != member_skipped) {
                return type_error(std::string(shown), *slot);
            }
        }
        ++depth_;
        return true;
    }

    bool close_container() {
        --depth_;
        return true;
    }

    bool type_error(const std::string& shown, std::size_t slot) {
        return fail("invalid type: " + shown + ", expected " + std::string(expected_name(members[slot].type)));
    }

    bool top_level_type_error(const std::string& shown) {
        return fail("invalid type: " + shown + ", expected struct CommandFrame");
    }

    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    CommandFrame frame_;
    std::array<bool, member_count> seen_{};
    std::size_t pending_member_ = member_skipped;
    std::size_t array_length_ = 0;
    std::size_t depth_ = 0;
    Container top_ = Container::none;
    std::string error_;
};

}  // namespace

DecodeResult decode_line(std::string_view line) {
    if (!utf8::is_valid(line)) {
        return DecodeError{"stream did not contain valid UTF-8"};
    }
    const std::string_view text = utf8::trim_white_space(line);
    if (text.empty()) {
        return NoCommand{};
    }
    FrameBuilder builder;
    const bool parsed = nlohmann::json::sax_parse(text, &builder, nlohmann::json::input_format_t::json, true);
    DecodeResult result = std::move(builder).result();
    if (!parsed && std::holds_alternative<CommandFrame>(result)) {
        return DecodeError{"invalid command frame"};
    }
    return result;
}

}  // namespace tarnvale::ipc
