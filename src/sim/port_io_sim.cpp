// The port seam served by the simulation: the program runs unchanged against a simulated port
// with a simulated thermometer behind it.
#include "bus/port_io.h"
#include "sim/simulation.h"
#include "sim/world.h"

namespace quorvane::sim {

namespace {
// The only global of the simulation: the port seam has nowhere else to find it.
Simulation instance{roomDrift()};

// The world the thermometer lives in is read once, before the program starts: a bad setting
// ends it before it measures or prints anything.
bool setTheScene() {
    applyWorld(requireWorld(), instance);
    return true;
}
[[maybe_unused]] const bool sceneSet = setTheScene();
}  // namespace

Simulation& simulation() {
    return instance;
}

}  // namespace quorvane::sim

int RequestPortAccess(unsigned long from, unsigned long count, int turnOn) {
    return quorvane::sim::instance.requestPortAccess(from, count, turnOn);
}

unsigned char Input(unsigned short address) {
    return quorvane::sim::instance.input(address);
}

void Output(unsigned short address, unsigned char value) {
    quorvane::sim::instance.output(address, value);
}

int AccessFailed() {
    return 0;  // the simulated port never goes away; its faults are on the wires
}

void SleepSeconds(unsigned int seconds) {
    quorvane::sim::instance.sleepSeconds(seconds);
}

const char* AccessHint(int /*error*/) {
    // The simulation refuses only when a test asks it to; no user can do anything about that.
    return "";
}
