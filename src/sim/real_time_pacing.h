// When the simulation waits for the wall clock. With real sleeps on, it asks the Pacer at the
// first port access after every Pacer::kSlack of simulated time and after every sleep, so that a
// program takes as long as on real hardware; with them off, never.
#pragma once

#include "sim/pacer.h"
#include "sim/sim_clock.h"

namespace quorvane::sim {

class RealTimePacing {
  public:
    bool on() const { return on_; }
    void setOn(bool on, Micros now) {
        on_ = on;
        restart(now);
    }
    // The two clocks meet again at the next port access from `now`.
    void restart(Micros now) {
        pacer_.restart();
        next_ = now;
    }
    // When the next wait is due on the simulated clock.
    Micros due() const { return on_ ? next_ : kNever; }
    // At a port access at `now`: waits if a wait is due.
    void atAccess(Micros now) {
        if (on_ && now >= next_) {
            keepUp(now);
        }
    }
    // After a sleep: the sleep is waited for, with whatever bus time is still to be.
    void afterSleep(Micros now) {
        if (on_) {
            keepUp(now);
        }
    }

  private:
    void keepUp(Micros now) {
        pacer_.keepUp(now);
        next_ = now + Pacer::kSlack;
    }

    bool on_ = true;
    Pacer pacer_;
    Micros next_ = 0;
};

}  // namespace quorvane::sim
