#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

// The path's loss as the hop engine measures it at the target's hop, for the
// attribution engine to share out among the processes that upload. One cell
// for the process; each running hop engine feeds it, and it reads 0 while
// none does.
namespace tarnvale::engines {

class PathLoss {
public:
    // One engine's feed: its latest figure counts until the feed is dropped.
    class Feed {
    public:
        explicit Feed(std::shared_ptr<PathLoss> cell);
        Feed(const Feed&) = delete;
        Feed& operator=(const Feed&) = delete;
        ~Feed();

        void set(float loss_pct);

    private:
        std::shared_ptr<PathLoss> cell_;
        std::uint64_t id_;
    };

    // The latest figure of the feeds still running, in whole percent (rounded,
    // within 0 to 100); 0 without one.
    std::uint32_t percent() const;

private:
    struct Figure {
        float loss_pct = 0;
        std::uint64_t order = 0;  // when it was set, in the cell's count of figures
    };

    mutable std::mutex lock_;
    std::uint64_t next_id_ = 0;                // guarded by lock_
    std::uint64_t figures_set_ = 0;            // guarded by lock_
    std::map<std::uint64_t, Figure> figures_;  // guarded by lock_; by feed
};

}  // namespace tarnvale::engines
