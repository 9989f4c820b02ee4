// The pacer against a wall clock of the test's own, which moves only when slept on or set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "sim/pacer.h"

namespace quorvane::sim {
namespace {

constexpr Micros kSecond = kMicrosPerSecond;
constexpr Micros kMilli = kMicrosPerMilli;

struct Wall {
    Micros now = 1'800'000'000 * kSecond;
    Micros overshoot = 0;  // every sleep lasts this much longer than asked
    int sleeps = 0;
    Pacer pacer() {
        return Pacer([this] { return now; },
                     [this](Micros d) {
                         now += d + overshoot;
                         ++sleeps;
                     });
    }
};

// A run of measurement cycles as the simulation paces them: bus time, checked every kSlack of
// it, with some computing on the wall clock each time, then the one-second conversion.
void runCycles(Pacer& pacer, Wall& wall, Micros& sim, int cycles, Micros computing) {
    for (int c = 0; c < cycles; ++c) {
        for (int i = 0; i < 15; ++i) {
            sim += Pacer::kSlack;
            wall.now += computing;
            pacer.keepUp(sim);
        }
        sim += kSecond;
        pacer.keepUp(sim);
    }
}

TEST(Pacer, TheWallClockKeepsUpWithTheSimulatedOneWhateverSleepsAndComputingCost) {
    struct Case {
        Micros overshoot;
        Micros computing;
    };
    for (const Case c : std::vector<Case>{{0, 0}, {80, 200}, {5 * kMilli, 3 * kMilli}}) {
        Wall wall;
        wall.overshoot = c.overshoot;
        Pacer pacer = wall.pacer();
        Micros sim = 0;
        pacer.keepUp(sim);
        const Micros start = wall.now;
        runCycles(pacer, wall, sim, 200, c.computing);
        // Where they met at the start, they meet after 350 s within the slack: no drift.
        EXPECT_LE(std::llabs((wall.now - start) - sim), Pacer::kSlack + c.overshoot)
            << c.overshoot << " " << c.computing;
        // A few dozen sleeps a cycle, not one per port access.
        EXPECT_LE(wall.sleeps, 200 * 16);
    }
}

TEST(Pacer, AWallClockSetBackOrForwardIsNotWaitedForOrRacedAfter) {
    for (const Micros jump : {-3600 * kSecond, -2 * Pacer::kSlack, 3600 * kSecond}) {
        Wall wall;
        Pacer pacer = wall.pacer();
        Micros sim = 0;
        pacer.keepUp(sim);
        runCycles(pacer, wall, sim, 3, 0);
        wall.now += jump;
        const Micros after = wall.now;
        sim += Pacer::kSlack;
        pacer.keepUp(sim);
        // Nothing like the jump is slept.
        EXPECT_LE(wall.now - after, 3 * Pacer::kSlack) << jump;
        // And from there the pace is the simulation's again.
        const Micros wallFrom = wall.now;
        const Micros simFrom = sim;
        runCycles(pacer, wall, sim, 10, 0);
        EXPECT_LE(std::llabs((wall.now - wallFrom) - (sim - simFrom)), 3 * Pacer::kSlack) << jump;
    }
}

}  // namespace
}  // namespace quorvane::sim
