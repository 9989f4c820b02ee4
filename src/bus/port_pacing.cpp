#include "bus/port_pacing.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

std::int64_t owedNanos = 0;

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;
constexpr std::int64_t kNanosPerMilli = 1000000;
// No wait is shorter than this many tenths of what it owes.
constexpr std::int64_t kShortestWaitTenths = 9;
// A wait with less than this left is made on the clock: a sleep would cost more than it waits.
constexpr std::int64_t kShortestSleep = 5000;
// A wake-up later than this is a stall, not a timer's latency: made up a tenth at a time, it
// would hold the next hundred waits at their shortest.
constexpr std::int64_t kLagLimit = 10 * kNanosPerMilli;

// When the last access that the bus saw was due on the schedule, and when it was done, on the
// monotonic clock.
std::int64_t dueAt = 0;
std::int64_t seenAt = 0;

std::int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

}  // namespace

void startPacing() {
    // 1 ns is the least; 0 would give the thread the default slack again.
    static_cast<void>(prctl(PR_SET_TIMERSLACK, 1UL));
    owedNanos = 0;
    dueAt = seenAt = monotonicNanos();
}

void awaitDue() {
    if (owedNanos <= 0) {
        return;
    }
    const std::int64_t due = dueAt + owedNanos;
    const std::int64_t earliest = seenAt + owedNanos * kShortestWaitTenths / 10;
    const std::int64_t wake = due > earliest ? due : earliest;
    if (wake - monotonicNanos() < kShortestSleep) {
        // The microsecond owed by the read of a read-modify-write, or the end of a wait that a
        // slow access has nearly made already.
        while (monotonicNanos() < wake) {
        }
        return;
    }
    const timespec at{static_cast<time_t>(wake / kNanosPerSecond),
                      static_cast<long>(wake % kNanosPerSecond)};
    // A handled signal ends the sleep early; the deadline stays where it is.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

void accessSeen() {
    seenAt = monotonicNanos();
    dueAt += owedNanos;
    owedNanos = 0;
    if (seenAt - dueAt > kLagLimit) {
        dueAt = seenAt;
    }
}
