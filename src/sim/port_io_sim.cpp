// The port seam served by the simulation: the program runs unchanged against a simulated port
// with a simulated thermometer behind it.
#include "bus/port_io.h"
#include "sim/simulation.h"
#include "sim/world.h"

namespace quorvane::sim {

namespace {
// The only globals of the simulation: the port seam has nowhere else to find them.
Simulation instance{roomDrift()};
// The world the thermometer lives in is read when the program first asks for the port, which
// it does before it measures or prints anything: a bad setting ends it there. A program or test
// that takes the simulation in hand sets the scene itself.
bool worldPending = true;
}  // namespace

Simulation& simulation() {
    worldPending = false;
    return instance;
}

}  // namespace quorvane::sim

int RequestPortAccess(unsigned long from, unsigned long count, int turnOn) {
    if (quorvane::sim::worldPending) {
        quorvane::sim::worldPending = false;
        applyWorld(quorvane::sim::requireWorld(), quorvane::sim::instance);
    }
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
