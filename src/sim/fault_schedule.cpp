#include "sim/fault_schedule.h"

#include <algorithm>
#include <utility>

namespace quorvane::sim {

void FaultSchedule::set(std::vector<FaultWindow> windows, Micros now) {
    windows_ = std::move(windows);
    edges_.clear();
    for (const FaultWindow& w : windows_) {
        edges_.push_back(w.from);
        if (w.to) {
            edges_.push_back(*w.to);
        }
    }
    std::sort(edges_.begin(), edges_.end());
    edges_.erase(std::unique(edges_.begin(), edges_.end()), edges_.end());
    next_ = static_cast<std::size_t>(std::upper_bound(edges_.begin(), edges_.end(), now) -
                                     edges_.begin());
}

FaultSet FaultSchedule::openAt(Micros at) const {
    FaultSet open;
    for (const FaultWindow& w : windows_) {
        if (w.from <= at && (!w.to || at < *w.to)) {
            open.set(static_cast<std::size_t>(w.fault));
        }
    }
    return open;
}

}  // namespace quorvane::sim
