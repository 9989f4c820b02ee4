#include "sim/pacer.h"

#include <time.h>

#include <cerrno>

#include <utility>

namespace quorvane::sim {

namespace {

Micros realTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return Micros{now.tv_sec} * kMicrosPerSecond + now.tv_nsec / 1000;
}

void sleepFor(Micros duration) {
    timespec left{static_cast<time_t>(duration / kMicrosPerSecond),
                  static_cast<long>(duration % kMicrosPerSecond) * 1000};
    // A signal that is handled cuts the sleep short; the rest is slept after it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

Pacer::Pacer() : Pacer(realTime, sleepFor) {}

Pacer::Pacer(WallClock wall, Sleep sleep) : wall_(std::move(wall)), sleep_(std::move(sleep)) {}

void Pacer::keepUp(Micros now) {
    const Micros wall = wall_();
    if (!anchored_) {
        anchor(now, wall);
        return;
    }
    const Micros ahead = (now - simAnchor_) - (wall - wallAnchor_);
    // No more can have built up than the simulated time since the last call and what was left
    // unslept then (less than kSlack); more means the wall clock went back.
    const Micros possible = (now - lastSim_) + kSlack;
    lastSim_ = now;
    if (ahead > possible || ahead < -kLagLimit) {
        anchor(now, wall);
        return;
    }
    if (ahead >= kSlack) {
        sleep_(ahead);
    }
}

void Pacer::anchor(Micros now, Micros wall) {
    anchored_ = true;
    simAnchor_ = now;
    wallAnchor_ = wall;
    lastSim_ = now;
}

}  // namespace quorvane::sim
