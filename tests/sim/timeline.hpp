#pragma once

#include <optional>
#include <utility>
#include <vector>

namespace tarnvale::sim {

// A value over seconds since the run began: each point holds its value from its
// start to the next point's, reached in a straight line from the value before
// it over `ramp_s`. Before the first point the value is `before`.
class Timeline {
public:
    struct Point {
        double at_s = 0;
        double ramp_s = 0;
        double value = 0;
    };

    Timeline() = default;
    // The points in time order.
    explicit Timeline(std::vector<Point> points, double before = 0);

    double at(double seconds) const;
    bool empty() const { return points_.empty(); }
    double highest() const;
    // The first time the value reaches `level` (at or above), if it ever does.
    std::optional<double> first_reaching(double level) const;

private:
    // The index of the point in force at `seconds`, or points_.size() before the first.
    std::size_t in_force(double seconds) const;
    double value_of(std::size_t point, double seconds) const;

    std::vector<Point> points_;
    std::vector<double> ramp_from_;  // per point: the value in force when it begins
    double before_ = 0;
};

// Values that each hold from their start until the next one's, as an
// answering policy or the host's upload changes; none before the first.
template <typename Value>
class Steps {
public:
    // After every step added so far.
    void add(double at_s, Value value) { steps_.emplace_back(at_s, std::move(value)); }

    Value* at(double seconds) { return find(steps_, seconds); }
    const Value* at(double seconds) const { return find(steps_, seconds); }
    bool empty() const { return steps_.empty(); }

private:
    template <typename Stored>
    static auto find(Stored& steps, double seconds) -> decltype(&steps.front().second) {
        for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
            if (step->first <= seconds) {
                return &step->second;
            }
        }
        return nullptr;
    }

    std::vector<std::pair<double, Value>> steps_;
};

}  // namespace tarnvale::sim
