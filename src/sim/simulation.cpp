#include "sim/simulation.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <numbers>
#include <utility>

namespace quorvane::sim {

TemperatureProfile roomDrift() {
    return [](Micros t) {
        const double period = 600.0 * static_cast<double>(kMicrosPerSecond);
        return 21.0 + 3.0 * std::sin(2.0 * std::numbers::pi * static_cast<double>(t) / period);
    };
}

Simulation::Simulation(TemperatureProfile profile) {
    reset();
    if (profile) {
        setTemperatureProfile(std::move(profile));
    }
}

void Simulation::reset() {
    clock_.reset();
    rights_.revokeAll();
    dropFaults();
    pacing_.restart(clock_.now());
    planTimedEvents();
    port_.setModes({});
    port_.powerOn();
    device_.factoryReset();
    device_.setCountPerC(Ds1621::kFactoryCountPerC);
    device_.setRawReading(std::nullopt);
    setTemperature(25.0);
    board_.reset(port_.masterLines(), faults_, clock_.now());
    updateFastPath();
}

void Simulation::setRealSleep(bool on) {
    pacing_.setOn(on, clock_.now());
    planTimedEvents();
}

void Simulation::setTemperature(double celsius) {
    device_.setTemperature([celsius](Micros) { return celsius; });
}

void Simulation::setTemperatureProfile(TemperatureProfile profile) {
    device_.setTemperature(std::move(profile));
}

void Simulation::setPortModes(const PortModes& modes) {
    port_.setModes(modes);
    updateLines();
    updateFastPath();
}

int Simulation::requestPortAccess(unsigned long from, unsigned long count, int turnOn) {
    if (faults_.accessRefusal) {
        errno = *faults_.accessRefusal;
        return -1;
    }
    if (rights_.request(from, count, turnOn) != 0) {
        return -1;
    }
    updateFastPath();
    return 0;
}

std::uint8_t Simulation::inputSlow(std::uint16_t address) {
    beginAccess(address);
    return port_.read(address, board_.state().sda);
}

void Simulation::output(std::uint16_t address, std::uint8_t value) {
    beginAccess(address);
    if (port_.write(address, value)) {
        updateLines();
        updateFastPath();  // a control write may have turned the data lines around
    }
}

void Simulation::sleepSeconds(unsigned int seconds) {
    clock_.sleep(seconds);
    pacing_.afterSleep(clock_.now());
    planTimedEvents();
}

void Simulation::beginAccess(std::uint16_t address) {
    if (clock_.now() >= nextTimedEvent_) {
        timedEvents();
    }
    if (const AccessHook::Action action = hook_.countAccess()) {
        updateFastPath();
        action();
    }
    rights_.require(address);
    clock_.tick();
}

void Simulation::timedEvents() {
    // The fast path may have read past an edge; the lines change at the edge's own time, which
    // nothing could have seen in between (the data register reads back the master's latch).
    while (const std::optional<Micros> edge = schedule_.takeEdgeDue(clock_.now())) {
        setScheduledFaults(*edge);
    }
    pacing_.atAccess(clock_.now());
    planTimedEvents();
}

void Simulation::planTimedEvents() {
    nextTimedEvent_ = std::min(schedule_.nextEdge(), pacing_.due());
}

void Simulation::scheduleFaults(std::vector<FaultWindow> windows) {
    // What is over already is not replayed: the faults become those open now.
    schedule_.set(std::move(windows), clock_.now());
    setScheduledFaults(clock_.now());
    planTimedEvents();
}

void Simulation::setScheduledFaults(Micros at) {
    faults_.open = schedule_.openAt(at);
    updateLines(at);
}

void Simulation::updateFastPath() {
    const std::uint16_t base = port_.base();
    // Floating data lines read as nothing drives them, not as the latch.
    const bool latchReads = rights_.granted(base) && !port_.dataFloating();
    fastReadAddress_ = (!hook_.armed() && latchReads) ? base : kNoFastRead;
}

void Simulation::killAtAccess(std::uint64_t n) {
    if (n == 0) {
        atAccess(0, nullptr);
        return;
    }
    atAccess(n, [](Simulation& sim) {
        sim.rights_.revokeAll();
        sim.updateFastPath();
        throw ProcessKilled();
    });
}

void Simulation::atAccess(std::uint64_t n, Action action) {
    if (action) {
        hook_.arm(n, [this, action = std::move(action)] { action(*this); });
    } else {
        hook_.disarm();
    }
    updateFastPath();
}

void Simulation::setDevicePresent(bool present) {
    faults_.set(Fault::Unplugged, !present);
    updateLines();
}

void Simulation::setSupplyBroken(bool broken) {
    faults_.set(Fault::Unpowered, broken);
    updateLines();
}

void Simulation::setSdaStuck(SdaStuck stuck) {
    faults_.setSdaStuck(stuck);
    updateLines();
}

void Simulation::strapAddress(std::optional<std::uint8_t> address) {
    faults_.strappedAddress = address;
    updateLines();
}

void Simulation::dropFaults() {
    faults_ = {};
    hook_.disarm();
    schedule_.clear();
}

void Simulation::clearFaults() {
    dropFaults();
    updateFastPath();
    planTimedEvents();
    updateLines();
}

}  // namespace quorvane::sim
