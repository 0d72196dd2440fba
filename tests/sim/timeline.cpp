#include "timeline.hpp"

#include <algorithm>

namespace tarnvale::sim {

Timeline::Timeline(std::vector<Point> points, double before) : points_(std::move(points)), before_(before) {
    ramp_from_.reserve(points_.size());
    for (std::size_t index = 0; index < points_.size(); ++index) {
        ramp_from_.push_back(index == 0 ? before_ : value_of(index - 1, points_[index].at_s));
    }
}

std::size_t Timeline::in_force(double seconds) const {
    for (std::size_t index = points_.size(); index > 0; --index) {
        if (points_[index - 1].at_s <= seconds) {
            return index - 1;
        }
    }
    return points_.size();
}

double Timeline::value_of(std::size_t point, double seconds) const {
    const Point& in = points_[point];
    const double into_ramp = seconds - in.at_s;
    if (in.ramp_s > 0 && into_ramp < in.ramp_s) {
        return ramp_from_[point] + (in.value - ramp_from_[point]) * into_ramp / in.ramp_s;
    }
    return in.value;
}

double Timeline::at(double seconds) const {
    const std::size_t point = in_force(seconds);
    return point == points_.size() ? before_ : value_of(point, seconds);
}

double Timeline::highest() const {
    double highest = before_;
    for (const Point& point : points_) {
        highest = std::max(highest, point.value);
    }
    return highest;
}

std::optional<double> Timeline::first_reaching(double level) const {
    if (before_ >= level) {
        return 0.0;
    }
    for (std::size_t index = 0; index < points_.size(); ++index) {
        const Point& point = points_[index];
        const double from = ramp_from_[index];
        const double ends = index + 1 < points_.size() ? points_[index + 1].at_s : point.at_s + point.ramp_s;
        if (point.value < level) {
            continue;
        }
        // On a ramp up to or past the level: where the line crosses it, if before the next point.
        const double crossing =
            point.ramp_s > 0 ? point.at_s + point.ramp_s * (level - from) / (point.value - from) : point.at_s;
        if (index + 1 == points_.size() || crossing <= ends) {
            return crossing;
        }
    }
    return std::nullopt;
}

}  // namespace tarnvale::sim
