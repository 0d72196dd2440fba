#include "engines/path_loss.hpp"

#include <algorithm>
#include <cmath>

namespace tarnvale::engines {

PathLoss::Feed::Feed(std::shared_ptr<PathLoss> cell) : cell_(std::move(cell)) {
    const std::lock_guard lock(cell_->lock_);
    id_ = cell_->next_id_++;
}

PathLoss::Feed::~Feed() {
    const std::lock_guard lock(cell_->lock_);
    cell_->figures_.erase(id_);
}

void PathLoss::Feed::set(float loss_pct) {
    const std::lock_guard lock(cell_->lock_);
    cell_->figures_[id_] = Figure{loss_pct, ++cell_->figures_set_};
}

std::uint32_t PathLoss::percent() const {
    const std::lock_guard lock(lock_);
    const auto latest = std::max_element(figures_.begin(), figures_.end(), [](const auto& left, const auto& right) {
        return left.second.order < right.second.order;
    });
    if (latest == figures_.end() || !(latest->second.loss_pct > 0.0F)) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::lround(std::min(latest->second.loss_pct, 100.0F)));
}

}  // namespace tarnvale::engines
