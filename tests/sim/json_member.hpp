#pragma once

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnvale::sim {

// A number as messages show it: 600, 0.5, 1e+06.
std::string number_text(double value);

// A member of a JSON file being read, with its place for messages
// (`nodes.home.answers[1].share`): each reading checks what it reads and
// throws a ScenarioError naming the file and the place when it is wrong.
class JsonMember {
public:
    using Json = nlohmann::ordered_json;

    JsonMember(const Json& value, std::string place, const std::string& file)
        : value_(value), place_(std::move(place)), file_(file) {}

    [[noreturn]] void fail(const std::string& problem) const;

    bool is_object() const { return value_.is_object(); }
    bool is_array() const { return value_.is_array(); }
    bool is_string() const { return value_.is_string(); }
    bool is_number() const { return value_.is_number(); }
    bool is_null() const { return value_.is_null(); }

    // An object whose members are all among `known`.
    void expect_members(std::initializer_list<std::string_view> known) const;
    bool has(std::string_view name) const { return value_.contains(name); }
    JsonMember required(std::string_view name) const;
    std::optional<JsonMember> optional(std::string_view name) const;
    std::vector<JsonMember> elements() const;                         // of a list
    std::vector<std::pair<std::string, JsonMember>> members() const;  // of an object, in the file's order

    double number(double lo, double hi) const;
    // Above 0, at most `most`.
    double positive(double most) const;
    std::string text() const;
    std::string one_of(std::initializer_list<std::string_view> allowed) const;
    bool flag() const;
    // Two numbers [lo, hi] in order, within [least, most].
    std::pair<double, double> pair(double least, double most) const;

private:
    JsonMember child(std::string_view name) const;

    const Json& value_;
    std::string place_;
    const std::string& file_;
};

}  // namespace tarnvale::sim
