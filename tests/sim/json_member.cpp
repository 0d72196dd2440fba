#include "json_member.hpp"

#include <algorithm>
#include <sstream>

#include "scenario_file.hpp"

namespace tarnvale::sim {

std::string number_text(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

void JsonMember::fail(const std::string& problem) const {
    throw ScenarioError(file_ + ": " + (place_.empty() ? "" : place_ + ": ") + problem);
}

void JsonMember::expect_members(std::initializer_list<std::string_view> known) const {
    if (!value_.is_object()) {
        fail("must be an object");
    }
    for (const auto& [name, value] : value_.items()) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            child(name).fail("unknown member");
        }
    }
}

JsonMember JsonMember::required(std::string_view name) const {
    if (!value_.contains(name)) {
        child(name).fail("missing");
    }
    return child(name);
}

std::optional<JsonMember> JsonMember::optional(std::string_view name) const {
    if (!value_.contains(name)) {
        return std::nullopt;
    }
    return child(name);
}

std::vector<JsonMember> JsonMember::elements() const {
    if (!value_.is_array()) {
        fail("must be a list");
    }
    std::vector<JsonMember> elements;
    for (std::size_t index = 0; index < value_.size(); ++index) {
        elements.emplace_back(value_[index], place_ + "[" + std::to_string(index) + "]", file_);
    }
    return elements;
}

std::vector<std::pair<std::string, JsonMember>> JsonMember::members() const {
    if (!value_.is_object()) {
        fail("must be an object");
    }
    std::vector<std::pair<std::string, JsonMember>> members;
    for (const auto& [name, value] : value_.items()) {
        members.emplace_back(name, child(name));
    }
    return members;
}

double JsonMember::number(double lo, double hi) const {
    if (!value_.is_number()) {
        fail("must be a number");
    }
    const double number = value_.get<double>();
    if (!(number >= lo && number <= hi)) {
        fail(number_text(number) + " is out of range " + number_text(lo) + " to " + number_text(hi));
    }
    return number;
}

double JsonMember::positive(double most) const {
    const double value = number(0, most);
    if (value <= 0) {
        fail("must be above 0");
    }
    return value;
}

std::string JsonMember::text() const {
    if (!value_.is_string()) {
        fail("must be a string");
    }
    return value_.get<std::string>();
}

std::string JsonMember::one_of(std::initializer_list<std::string_view> allowed) const {
    std::string chosen = text();
    if (std::find(allowed.begin(), allowed.end(), chosen) == allowed.end()) {
        std::string listed;
        for (const std::string_view each : allowed) {
            listed += (listed.empty() ? "" : ", ") + std::string(each);
        }
        fail("\"" + chosen + "\" is none of " + listed);
    }
    return chosen;
}

bool JsonMember::flag() const {
    if (!value_.is_boolean()) {
        fail("must be true or false");
    }
    return value_.get<bool>();
}

std::pair<double, double> JsonMember::pair(double least, double most) const {
    const auto both = elements();
    if (both.size() != 2) {
        fail("must be a number or a range [lo, hi]");
    }
    const double lo = both[0].number(least, most);
    const double hi = both[1].number(least, most);
    if (lo > hi) {
        fail("the range's ends are out of order");
    }
    return {lo, hi};
}

JsonMember JsonMember::child(std::string_view name) const {
    static const Json missing;
    const auto found = value_.find(name);
    return JsonMember(found == value_.end() ? missing : *found,
                      place_.empty() ? std::string(name) : place_ + "." + std::string(name), file_);
}

}  // namespace tarnvale::sim
