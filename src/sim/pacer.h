// Keeps the simulated clock and the wall clock together, so that a simulated program takes as
// long as the real one: whatever simulated time runs ahead of the wall clock is slept.
#pragma once

#include <functional>

#include "sim/sim_clock.h"

namespace quorvane::sim {

class Pacer {
  public:
    // The wall clock in microseconds, and a sleep of some microseconds.
    using WallClock = std::function<Micros()>;
    using Sleep = std::function<void(Micros)>;

    // Simulated time is let run ahead of the wall clock by this much before it is slept, so that
    // a cycle of the bus takes a few dozen sleeps rather than thousands.
    static constexpr Micros kSlack = 50 * kMicrosPerMilli;
    // A simulation further behind the wall clock than this (a stopped or starved process, or a
    // wall clock set forward) starts again from there rather than race to catch up.
    static constexpr Micros kLagLimit = kMicrosPerSecond;

    // The system's real-time clock, the one the program's time stamps come from (and the one
    // that libfaketime runs fast, together with the sleeps).
    Pacer();
    Pacer(WallClock wall, Sleep sleep);

    // Forgets where the two clocks met: the next keepUp starts from there.
    void restart() { anchored_ = false; }

    // Sleeps until the wall clock has caught up with the simulated time `now`, if it is more
    // than kSlack ahead. A wall clock that went back (set back by hand, or by NTP) or far forward
    // is not waited for: the two clocks meet again where they are.
    void keepUp(Micros now);

  private:
    void anchor(Micros now, Micros wall);

    WallClock wall_;
    Sleep sleep_;
    bool anchored_ = false;
    Micros simAnchor_ = 0;
    Micros wallAnchor_ = 0;
    Micros lastSim_ = 0;
};

}  // namespace quorvane::sim
