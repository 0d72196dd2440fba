#pragma once

#include <cstddef>
#include <deque>

namespace tarnvale::engines {

// The newest values, at most `capacity` of them: appending to a full history
// first removes its oldest value.
template <typename T>
class BoundedHistory {
public:
    explicit BoundedHistory(std::size_t capacity) : capacity_(capacity) {}

    void push(T value) {
        while (values_.size() >= capacity_ && !values_.empty()) {
            values_.pop_front();
        }
        values_.push_back(std::move(value));
    }

    std::size_t size() const { return values_.size(); }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return values_.empty(); }
    auto begin() const { return values_.begin(); }
    auto end() const { return values_.end(); }
    const T& back() const { return values_.back(); }
    void clear() { values_.clear(); }

private:
    std::size_t capacity_;
    std::deque<T> values_;
};

}  // namespace tarnvale::engines
