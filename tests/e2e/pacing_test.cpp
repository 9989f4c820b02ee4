// The pace of quorvane_ppdev and quorvane_gpio, each run as a user runs it on its fake kernel,
// preloaded, with the fake's virtual clock (kit/fake_clock.h): judged by counts and by that clock,
// which no load on the machine moves. A cycle's line changes come each a millisecond after the
// last, from sleeps rather than spinning, and wake-ups that come late or stall neither bring a
// line change forward nor make the cycle drift.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kit/cases.h"
#include "kit/child_process.h"
#include "kit/fake_clock.h"
#include "kit/fake_gpiochip.h"
#include "kit/fake_kernel.h"
#include "kit/fake_parport.h"
#include "kit/files.h"
#include "kit/sim_run.h"

namespace {

using namespace quorvane::testkit;
using quorvane::testkit::PrintTo;

struct Port {
    const char* name;
    const char* program;
    const char* fake;
    const char* settingsVariable;
};

constexpr int kCycles = 3;

// The steady cycles (the first includes the start) of a run on the given clock.
std::vector<JournalCycle> steadyCycles(const Port& port, const FakeClock::Settings& clock) {
    TempDir dir;
    const std::string journal = (dir.path() / "journal").string();
    ChildSpec launch{port.program, {}};
    launch.environment = {
        std::string("LD_PRELOAD=") + port.fake,
        std::string(port.settingsVariable) + "=celsius=21.5 real-sleep=0 journal=" + journal,
        std::string(FakeClock::kEnvironmentVariable) + "=" + clock.text()};
    ChildProcess child(launch);
    EXPECT_TRUE(waitForLines(child, kCycles + 1)) << child.output();
    child.stop();
    std::vector<JournalCycle> cycles;
    for (const std::string& entry : readLines(journal)) {
        if (const auto cycle = journalCycle(entry)) {
            cycles.push_back(*cycle);
        }
    }
    if (!cycles.empty()) {
        cycles.erase(cycles.begin());
    }
    return cycles;
}

class Pacing : public ::testing::TestWithParam<Port> {};

TEST_P(Pacing, LineChangesAMillisecondApartBySleepingOnDeadlinesThatLatenessDoesNotMove) {
    const std::vector<JournalCycle> onTime = steadyCycles(GetParam(), {.virtualTime = true});
    // Every wake-up late by 80 us, and every 50th by 3 ms, as on a busy machine.
    const std::vector<JournalCycle> late =
        steadyCycles(GetParam(), {.virtualTime = true, .lateMicros = 80, .stallEvery = 50});
    ASSERT_GE(onTime.size(), 2U);
    ASSERT_GE(late.size(), 2U);
    for (const std::vector<JournalCycle>* run : {&onTime, &late}) {
        for (const JournalCycle& c : *run) {
            // Spinning shows as an ioctl or a reading of the clock for each of the busy wait's
            // 867,000 reads; sleeping takes about one ioctl and two readings per line change.
            EXPECT_LE(c.ioctls, 1200);
            EXPECT_LE(c.readings, 4 * c.ioctls);
            EXPECT_GE(c.waits, c.ioctls / 2);
            // A late wake-up is made up a little at each following wait, never at once.
            EXPECT_GE(c.shortest, 900);
        }
    }
    // Absolute deadlines: the lateness of each wake-up does not add up over the cycle's 700
    // waits (re-armed from the wake-up, they would make it 9 % longer).
    EXPECT_LT(late[1].took - onTime[1].took, onTime[1].took / 50);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, Pacing,
    ::testing::Values(Port{"Ppdev", QUORVANE_PPDEV_PROGRAM, QUORVANE_FAKE_PARPORT_LIBRARY,
                           FakeParport::kEnvironmentVariable},
                      Port{"Gpio", QUORVANE_GPIO_PROGRAM, QUORVANE_FAKE_GPIOCHIP_LIBRARY,
                           FakeGpiochip::kEnvironmentVariable}),
    kByName);

}  // namespace
