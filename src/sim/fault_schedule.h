// Faults by time: windows on the simulated clock in which a fault holds.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "sim/faults.h"
#include "sim/sim_clock.h"

namespace quorvane::sim {

// A fault that holds on the simulated clock from `from` until `to`, or for ever without it.
struct FaultWindow {
    Fault fault = Fault::Unplugged;
    Micros from = 0;
    std::optional<Micros> to;
    friend bool operator==(const FaultWindow&, const FaultWindow&) = default;
};

// The windows and, in order, every start and end of one (an edge), with the next edge due.
class FaultSchedule {
  public:
    // Replaces the windows; the edges up to `now` are over already and are not replayed.
    void set(std::vector<FaultWindow> windows, Micros now);
    void clear() { set({}, 0); }
    // The kinds whose windows are open at `at`.
    FaultSet openAt(Micros at) const;
    // The next edge still to come, or kNever.
    Micros nextEdge() const { return next_ < edges_.size() ? edges_[next_] : kNever; }
    // The next edge if it is due at `now`, which is then over; nullopt when none is.
    std::optional<Micros> takeEdgeDue(Micros now) {
        if (nextEdge() > now) {
            return std::nullopt;
        }
        return edges_[next_++];
    }

  private:
    std::vector<FaultWindow> windows_;
    std::vector<Micros> edges_;
    std::size_t next_ = 0;
};

}  // namespace quorvane::sim
