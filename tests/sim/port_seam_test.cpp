// The port seam reaches the one global simulation.
#include <gtest/gtest.h>

#include "bus/port_io.h"
#include "sim/simulation.h"

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

}  // namespace
}  // namespace quorvane::sim
