// The program stopped at any point of a measurement and started again on the same chip and the
// same port latches: the new program shows at most one failed cycle, then right readings, and
// the chip's configuration is written to its EEPROM once in its life, not once per run.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "sim/simulation.h"
#include "thermometer/thermometer.h"

namespace {

using namespace quorvane::sim;

constexpr double kTrue = 23.6;
constexpr int kExpectedTenths = 236;

void startProgram() {
    // Each program asks for the port afresh: the dead one's rights went with it.
    ASSERT_EQ(RequestPortAccess(0x378, 3, 1), 0);
    port = 0x378;
}

void freshChip() {
    Simulation& s = simulation();
    s.reset();
    s.setRealSleep(false);
    s.setTemperature(kTrue);
}

// The port access indices, counted from the start of a run, at which a line changed during one
// whole cycle on a fresh chip.
std::vector<std::uint64_t> lineChangesOfFirstCycle() {
    freshChip();
    startProgram();
    std::vector<std::uint64_t> changes;
    simulation().setLineObserver([&changes](const LineState&) {
        const std::uint64_t access = simulation().portAccesses();
        if (changes.empty() || changes.back() != access) {
            changes.push_back(access);
        }
    });
    std::int16_t tenths = 0;
    EXPECT_EQ(Temperature(port, &tenths), 0);
    EXPECT_EQ(tenths, kExpectedTenths);
    simulation().setLineObserver(nullptr);
    return changes;
}

struct RestartOutcome {
    bool killed = false;
    bool deviceHeldDataAtKill = false;
    int failedCycles = 0;
    bool failureAfterSuccess = false;
    bool wrongReading = false;
    unsigned long eepromWrites = 0;
};

// Kills the first program of a fresh chip at the given access, then runs a new program for three
// good cycles (or gives up after six).
RestartOutcome killAndRestart(std::uint64_t killAt) {
    RestartOutcome outcome;
    freshChip();
    startProgram();
    simulation().killAtAccess(killAt);
    std::int16_t tenths = 0;
    try {
        Temperature(port, &tenths);
    } catch (const ProcessKilled&) {
        outcome.killed = true;
        outcome.deviceHeldDataAtKill = simulation().lineState().devicePullsSdaLow;
    }
    simulation().killAtAccess(0);

    startProgram();
    int good = 0;
    for (int cycle = 0; cycle < 6 && good < 3; ++cycle) {
        tenths = 0;
        if (Temperature(port, &tenths) != 0) {
            ++outcome.failedCycles;
            outcome.failureAfterSuccess = outcome.failureAfterSuccess || good > 0;
            continue;
        }
        ++good;
        outcome.wrongReading = outcome.wrongReading || std::abs(tenths - kExpectedTenths) > 1;
    }
    outcome.eepromWrites = simulation().eepromWrites();
    return outcome;
}

// The new program shows at most one failed cycle, and only before its first good one; every
// reading is right, and the configuration went to the EEPROM once.
void expectRecovered(const RestartOutcome& o) {
    ASSERT_TRUE(o.killed);
    EXPECT_LE(o.failedCycles, 1);
    EXPECT_FALSE(o.failureAfterSuccess);
    EXPECT_FALSE(o.wrongReading);
    EXPECT_EQ(o.eepromWrites, 1U);
}

// Every line change of a whole cycle is a kill point, once just before the change and once just
// after it (inside the wait that follows); they include every bit the chip sends, its 0 bits
// among them.
TEST(RestartAfterKill, SweepEveryLineChangeOfACycle) {
    const std::vector<std::uint64_t> changes = lineChangesOfFirstCycle();
    ASSERT_GT(changes.size(), 500U);

    int withDataHeld = 0;
    for (const std::uint64_t change : changes) {
        for (const std::uint64_t killAt : {change, change + 1}) {
            SCOPED_TRACE("killed at access " + std::to_string(killAt));
            const RestartOutcome o = killAndRestart(killAt);
            ASSERT_NO_FATAL_FAILURE(expectRecovered(o));
            withDataHeld += o.deviceHeldDataAtKill ? 1 : 0;
        }
    }
    // The sweep did leave the chip driving the line: the case the new start has to clear.
    EXPECT_GT(withDataHeld, 20);
}

// Kill points spread through the waits, including the second of the conversion's wait being
// skipped and the 100 ms after the configuration write.
TEST(RestartAfterKill, SweepPointsInsideTheWaits) {
    freshChip();
    startProgram();
    std::int16_t tenths = 0;
    ASSERT_EQ(Temperature(port, &tenths), 0);
    const std::uint64_t firstCycle = simulation().portAccesses();

    constexpr std::uint64_t kPoints = 300;
    for (std::uint64_t i = 1; i <= kPoints; ++i) {
        const std::uint64_t killAt = firstCycle * i / (kPoints + 1) + 7;
        SCOPED_TRACE("killed at access " + std::to_string(killAt));
        ASSERT_NO_FATAL_FAILURE(expectRecovered(killAndRestart(killAt)));
    }
}

// Many runs of the program on one chip, each killed somewhere: the configuration still goes to
// the EEPROM once.
TEST(RestartAfterKill, ManyRunsWriteTheConfigurationOnce) {
    freshChip();
    for (std::uint64_t run = 0; run < 30; ++run) {
        startProgram();
        simulation().killAtAccess(1 + (run * 104729) % 700000);
        std::int16_t tenths = 0;
        try {
            Temperature(port, &tenths);
            Temperature(port, &tenths);
        } catch (const ProcessKilled&) {
        }
        simulation().killAtAccess(0);
    }
    startProgram();
    std::int16_t tenths = 0;
    int status = Temperature(port, &tenths);
    if (status != 0) {
        status = Temperature(port, &tenths);
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(tenths, kExpectedTenths);
    EXPECT_EQ(simulation().eepromWrites(), 1U);
}

}  // namespace
