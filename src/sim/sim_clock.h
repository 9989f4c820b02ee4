// The simulated time base: the device measures time by it alone.
#pragma once

#include <cstdint>
#include <limits>

namespace quorvane::sim {

// Microseconds of simulated time since the simulation was reset.
using Micros = std::int64_t;

inline constexpr Micros kMicrosPerMilli = 1000;
inline constexpr Micros kMicrosPerSecond = 1000000;
// A time the simulated clock never reaches.
inline constexpr Micros kNever = std::numeric_limits<Micros>::max();

// One port access takes one microsecond on a real parallel port, and a sleep takes its seconds;
// nothing else moves simulated time, so a run is the same however fast the host is. A port
// access costs one increment of one counter: the busy wait makes hundreds of thousands of them.
class SimClock {
  public:
    Micros now() const { return now_; }
    // Port accesses are the time not spent asleep.
    std::uint64_t accesses() const { return static_cast<std::uint64_t>(now_ - slept_); }
    void tick() { ++now_; }
    void sleep(unsigned int seconds) {
        now_ += Micros{seconds} * kMicrosPerSecond;
        slept_ += Micros{seconds} * kMicrosPerSecond;
    }
    void reset() { now_ = slept_ = 0; }

  private:
    Micros now_ = 0;
    Micros slept_ = 0;
};

}  // namespace quorvane::sim
