#include "sim/simulation.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
    observer_ = nullptr;
    clock_.reset();
    granted_.reset();
    refusal_.reset();
    devicePresent_ = true;
    supplyBroken_ = false;
    sdaStuck_ = SdaStuck::No;
    strap_.reset();
    gate_.setNever(false);
    gate_.setBudget(std::nullopt);
    actionCountdown_ = 0;
    action_ = nullptr;
    port_.setModes({});
    windows_.clear();
    edges_.clear();
    nextEdge_ = 0;
    pacer_.restart();
    nextPace_ = 0;
    planTimedEvents();
    port_.powerOn();
    device_.factoryReset();
    device_.setCountPerC(Ds1621::kFactoryCountPerC);
    device_.setRawReading(std::nullopt);
    setTemperature(25.0);
    const MasterLines m = port_.masterLines();
    decoder_.reset(m.scl, sdaLine(m.masterPullsSdaLow, false));
    state_ = LineState{};
    publish(m, false, clock_.now());
    updateFastPath();
}

void Simulation::setRealSleep(bool on) {
    realSleep_ = on;
    // The two clocks meet again at the next port access.
    pacer_.restart();
    nextPace_ = clock_.now();
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
    if (refusal_) {
        errno = *refusal_;
        return -1;
    }
    if (from > granted_.size() || count > granted_.size() - from) {
        errno = EINVAL;
        return -1;
    }
    for (unsigned long a = from; a < from + count; ++a) {
        granted_[a] = turnOn != 0;
    }
    updateFastPath();
    return 0;
}

std::uint8_t Simulation::inputSlow(std::uint16_t address) {
    beginAccess(address);
    return port_.read(address, state_.sda);
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
    if (realSleep_) {
        // The sleep, with whatever bus time is still to be waited for.
        pacer_.keepUp(clock_.now());
        nextPace_ = clock_.now() + Pacer::kSlack;
        planTimedEvents();
    }
}

void Simulation::beginAccess(std::uint16_t address) {
    if (clock_.now() >= nextTimedEvent_) {
        timedEvents();
    }
    if (actionCountdown_ != 0 && --actionCountdown_ == 0) {
        Action action = std::move(action_);
        action_ = nullptr;
        updateFastPath();
        action(*this);
    }
    if (!granted_[address]) {
        accessFault(address);
    }
    clock_.tick();
}

void Simulation::accessFault(std::uint16_t address) const {
    // On real hardware this is a general protection fault; make it as hard to miss.
    std::fprintf(stderr,
                 "quorvane simulator: port 0x%04X accessed without access rights "
                 "(no granted RequestPortAccess covers it)\n",
                 static_cast<unsigned>(address));
    std::fflush(stderr);
    std::abort();
}

void Simulation::timedEvents() {
    applyScheduledFaults();
    if (realSleep_ && clock_.now() >= nextPace_) {
        pacer_.keepUp(clock_.now());
        nextPace_ = clock_.now() + Pacer::kSlack;
    }
    planTimedEvents();
}

void Simulation::planTimedEvents() {
    const Micros edge = nextEdge_ < edges_.size() ? edges_[nextEdge_] : kNever;
    nextTimedEvent_ = std::min(edge, realSleep_ ? nextPace_ : kNever);
}

void Simulation::scheduleFaults(std::vector<FaultWindow> windows) {
    windows_ = std::move(windows);
    edges_.clear();
    for (const FaultWindow& w : windows_) {
        edges_.push_back(w.from);
        if (w.to) {
            edges_.push_back(*w.to);
        }
    }
    std::sort(edges_.begin(), edges_.end());
    edges_.erase(std::unique(edges_.begin(), edges_.end()), edges_.end());
    // What is over already is not replayed: the faults become those open now.
    const Micros now = clock_.now();
    nextEdge_ = static_cast<std::size_t>(std::upper_bound(edges_.begin(), edges_.end(), now) -
                                         edges_.begin());
    setFaultsOpenAt(now);
    planTimedEvents();
}

void Simulation::applyScheduledFaults() {
    // The fast path may have read past an edge; the lines change at the edge's own time, which
    // nothing could have seen in between (the data register reads back the master's latch).
    while (nextEdge_ < edges_.size() && edges_[nextEdge_] <= clock_.now()) {
        setFaultsOpenAt(edges_[nextEdge_++]);
    }
}

void Simulation::setFaultsOpenAt(Micros at) {
    std::bitset<kFaultKinds> open;
    for (const FaultWindow& w : windows_) {
        if (w.from <= at && (!w.to || at < *w.to)) {
            open.set(static_cast<std::size_t>(w.fault));
        }
    }
    const auto isOpen = [&open](Fault f) { return open.test(static_cast<std::size_t>(f)); };
    devicePresent_ = !isOpen(Fault::Unplugged);
    supplyBroken_ = isOpen(Fault::Unpowered);
    if (isOpen(Fault::SdaLow)) {
        sdaStuck_ = SdaStuck::Low;
    } else {
        sdaStuck_ = isOpen(Fault::SdaHigh) ? SdaStuck::High : SdaStuck::No;
    }
    gate_.setNever(isOpen(Fault::NeverAcknowledge));
    updateLines(at);
}

void Simulation::updateFastPath() {
    const std::uint16_t base = port_.base();
    // Floating data lines read as nothing drives them, not as the latch.
    const bool latchReads = granted_[base] && !port_.dataFloating();
    fastReadAddress_ = (actionCountdown_ == 0 && latchReads) ? base : 0x10000U;
}

void Simulation::killAtAccess(std::uint64_t n) {
    if (n == 0) {
        atAccess(0, nullptr);
        return;
    }
    atAccess(n, [](Simulation& sim) {
        sim.granted_.reset();
        sim.updateFastPath();
        throw ProcessKilled();
    });
}

void Simulation::atAccess(std::uint64_t n, Action action) {
    actionCountdown_ = action ? n : 0;
    action_ = actionCountdown_ != 0 ? std::move(action) : nullptr;
    updateFastPath();
}

void Simulation::setDevicePresent(bool present) {
    devicePresent_ = present;
    updateLines();
}

void Simulation::setSupplyBroken(bool broken) {
    supplyBroken_ = broken;
    updateLines();
}

void Simulation::setSdaStuck(SdaStuck stuck) {
    sdaStuck_ = stuck;
    updateLines();
}

void Simulation::setNeverAcknowledge(bool never) {
    gate_.setNever(never);
}

void Simulation::stopAcknowledgingAfter(std::optional<unsigned long> bytes) {
    gate_.setBudget(bytes);
}

void Simulation::strapAddress(std::optional<std::uint8_t> address) {
    strap_ = address;
    updateLines();
}

void Simulation::clearFaults() {
    refusal_.reset();
    gate_.setNever(false);
    gate_.setBudget(std::nullopt);
    atAccess(0, nullptr);
    devicePresent_ = true;
    supplyBroken_ = false;
    sdaStuck_ = SdaStuck::No;
    strap_.reset();
    windows_.clear();
    edges_.clear();
    nextEdge_ = 0;
    planTimedEvents();
    updateLines();
}

bool Simulation::sdaLine(bool masterLow, bool deviceLow) const {
    switch (sdaStuck_) {
        case SdaStuck::Low:
            return false;
        case SdaStuck::High:
            return true;
        case SdaStuck::No:
            break;
    }
    return !(masterLow || deviceLow);  // open drain with a pull-up
}

void Simulation::updateLines(Micros at) {
    const MasterLines m = port_.masterLines();
    const bool powered = devicePresent_ && !supplyBroken_ && m.vdd;
    device_.setAddressPins(strap_ ? *strap_ : m.addressPins());
    const bool deviceBefore = device_.powered() && decoder_.pullsSdaLow();
    if (powered != device_.powered()) {
        if (powered) {
            device_.powerOn();
        } else {
            device_.powerOff();
        }
        decoder_.reset(m.scl, sdaLine(m.masterPullsSdaLow, false));
        publish(m, false, at);
        return;
    }
    if (!powered) {
        publish(m, false, at);
        return;
    }
    decoder_.setLines(m.scl, sdaLine(m.masterPullsSdaLow, deviceBefore));
    publish(m, deviceBefore, at);
    // The chip answers a falling clock by moving SDA, which it then sees as well. It only moves
    // SDA while SCL is low, so seeing its own change sets nothing else in motion; the bound is
    // there all the same.
    for (int i = 0; i < 4; ++i) {
        const bool deviceNow = decoder_.pullsSdaLow();
        if (deviceNow == state_.devicePullsSdaLow) {
            break;
        }
        decoder_.setLines(m.scl, sdaLine(m.masterPullsSdaLow, deviceNow));
        publish(m, deviceNow, at);
    }
}

void Simulation::publish(const MasterLines& m, bool deviceLow, Micros at) {
    LineState s;
    s.time = at;
    s.scl = m.scl;
    s.masterPullsSdaLow = m.masterPullsSdaLow;
    s.devicePullsSdaLow = deviceLow;
    s.sda = sdaLine(m.masterPullsSdaLow, deviceLow);
    s.vdd = m.vdd;
    s.a2 = m.a2;
    s.a1 = m.a1;
    s.a0 = m.a0;
    const bool changed = s.scl != state_.scl || s.sda != state_.sda ||
                         s.masterPullsSdaLow != state_.masterPullsSdaLow ||
                         s.devicePullsSdaLow != state_.devicePullsSdaLow || s.vdd != state_.vdd ||
                         s.a2 != state_.a2 || s.a1 != state_.a1 || s.a0 != state_.a0;
    state_ = s;
    if (changed && observer_) {
        observer_(state_);
    }
}

}  // namespace quorvane::sim
