// The port seam reaches the one global simulation.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <optional>
#include <string>

#include "bus/port_io.h"
#include "sim/simulation.h"
#include "sim/world.h"

namespace quorvane::sim {
namespace {

TEST(PortSeam, ForwardsToTheGlobalSimulation) {
    Simulation& sim = simulation();
    sim.reset();
    sim.setRealSleep(false);
    ASSERT_EQ(RequestPortAccess(0x378, 3, 1), 0);
    Output(0x378, 0x97);
    EXPECT_EQ(Input(0x378), 0x97);
    EXPECT_EQ(sim.lineState().vdd, true);
    SleepSeconds(1);
    EXPECT_EQ(sim.clock(), 2 + kMicrosPerSecond);
    sim.reset();
}

// QUORVANE_SIM is read when the program first asks for the port, not as the process starts: a
// bad setting ends it there, with its one-line message and exit status 2.
TEST(PortSeamDeathTest, ABadWorldEndsTheProgramWhenItFirstAsksForThePort) {
    // A fresh process, started with the bad setting in its environment.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* before = std::getenv(kWorldVariable);
    const std::optional<std::string> saved =
        before != nullptr ? std::optional<std::string>(before) : std::nullopt;
    setenv(kWorldVariable, "temp=5", 1);
    EXPECT_EXIT(
        {
            std::fputs("main reached\n", stderr);
            RequestPortAccess(0x378, 3, 1);
        },
        ::testing::ExitedWithCode(kBadWorldStatus),
        "main reached\nquorvane_sim_test: QUORVANE_SIM: unknown setting 'temp=5'; the settings "
        "are temperature, count_per_c and fault, each name=value, separated by ';'\n$");
    if (saved) {
        setenv(kWorldVariable, saved->c_str(), 1);
    } else {
        unsetenv(kWorldVariable);
    }
}

}  // namespace
}  // namespace quorvane::sim
