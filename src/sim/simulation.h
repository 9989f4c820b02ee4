// The simulated parallel port with the adapter and a DS1621-type thermometer behind it, and the
// controls tests use to set the scene and break things. It puts together the port, the board,
// the chip, the faults, the access rights and hooks, the fault schedule and the pacing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "sim/access_hook.h"
#include "sim/access_rights.h"
#include "sim/ack_gate.h"
#include "sim/board.h"
#include "sim/bus_decoder.h"
#include "sim/ds1621.h"
#include "sim/fault_schedule.h"
#include "sim/faults.h"
#include "sim/parallel_port.h"
#include "sim/real_time_pacing.h"
#include "sim/sim_clock.h"

namespace quorvane::sim {

// A room that warms and cools by 3 degrees around 21 over ten minutes of simulated time.
TemperatureProfile roomDrift();

class Simulation {
  public:
    using LineObserver = Board::LineObserver;
    using Action = std::function<void(Simulation&)>;

    explicit Simulation(TemperatureProfile profile = nullptr);
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    // --- The program's side (the four functions of the port seam forward here).
    int requestPortAccess(unsigned long from, unsigned long count, int turnOn);
    std::uint8_t input(std::uint16_t address) {
        // The busy wait reads the data register hundreds of thousands of times a cycle.
        if (address == fastReadAddress_) {
            clock_.tick();
            return port_.dataLatch();
        }
        return inputSlow(address);
    }
    void output(std::uint16_t address, std::uint8_t value);
    void sleepSeconds(unsigned int seconds);

    // --- Setting the scene.
    // Factory-fresh chip, power-on port latches, no faults, clock 0, no access granted, a fixed
    // 25.0 degrees, no line observer. Whether sleeps are real is kept.
    void reset();
    // Real sleeps (the default) also wait on the wall clock for the time the simulated clock
    // counts, port accesses included, so that a program takes as long as on real hardware.
    // Without them nothing waits, and every result is the same.
    void setRealSleep(bool on);
    bool realSleep() const { return pacing_.on(); }
    void setTemperature(double celsius);
    void setTemperatureProfile(TemperatureProfile profile);
    // What the next conversions leave in the registers, whatever the temperature; nullopt ends it.
    void setRawReading(std::optional<Reading> reading) { device_.setRawReading(reading); }
    void setCountPerC(std::uint8_t countPerC) { device_.setCountPerC(countPerC); }
    // The kind of port; reset() makes it a plain one again.
    void setPortModes(const PortModes& modes);

    // --- Faults. Each takes effect on the wires at once.
    void setDevicePresent(bool present);
    void setSupplyBroken(bool broken);
    void setSdaStuck(SdaStuck stuck);
    void setNeverAcknowledge(bool never) { faults_.set(Fault::NeverAcknowledge, never); }
    // Acknowledges `bytes` more bytes (addresses and data), then none; nullopt lifts it.
    void stopAcknowledgingAfter(std::optional<unsigned long> bytes) {
        faults_.acknowledgeBudget = bytes;
    }
    // The chip's address pins strapped to a fixed 3-bit address instead of the adapter's lines.
    void strapAddress(std::optional<std::uint8_t> address);
    // Every access request fails with this errno; nullopt lifts it.
    void refuseAccess(std::optional<int> errnoValue) { faults_.accessRefusal = errnoValue; }
    // The n-th port access from now (1 = the next) throws ProcessKilled instead of happening;
    // the dead program's access rights go with it. 0 disarms.
    void killAtAccess(std::uint64_t n);
    // The n-th port access from now first runs `action` (which may change faults or throw).
    void atAccess(std::uint64_t n, Action action);
    void clearFaults();
    // Faults by time, replacing any schedule before: at each start or end of a window the
    // faults above are set to the windows then open (where sda-low and sda-high overlap, the
    // line is low), at that very microsecond, whatever the program is doing on the bus.
    // reset and clearFaults end the schedule.
    void scheduleFaults(std::vector<FaultWindow> windows);

    // --- A master that is not on the port's wires (an I2C adapter that the kernel runs): the chip
    // at byte level, behind the faults' withheld acknowledges; none while the chip is unplugged
    // or without supply, or a fault holds its data line. Its time is the simulation's clock.
    BusTarget* chipAtByteLevel() {
        return device_.powered() && faults_.sdaStuck() == SdaStuck::No ? &gate_ : nullptr;
    }

    // --- Observing.
    Micros clock() const { return clock_.now(); }
    std::uint64_t portAccesses() const { return clock_.accesses(); }
    unsigned long eepromWrites() const { return device_.eepromWrites(); }
    DeviceRegisters registers() { return device_.registers(); }
    const LineState& lineState() const { return board_.state(); }
    // All eight bits of the control latch, as a driver that keeps a copy of it knows them.
    std::uint8_t controlLatch() const { return port_.controlLatch(); }
    BusDecoder::Phase busPhase() const { return decoder_.phase(); }
    void setLineObserver(LineObserver observer) { board_.setObserver(std::move(observer)); }

  private:
    static constexpr unsigned int kNoFastRead = 0x10000;  // no 16-bit address

    [[gnu::noinline]] std::uint8_t inputSlow(std::uint16_t address);
    void beginAccess(std::uint16_t address);
    // What is due on the simulated clock: the schedule's faults and the pacing.
    void timedEvents();
    void planTimedEvents();
    void setScheduledFaults(Micros at);
    // Faults, hooks and schedule, without a word to the wires.
    void dropFaults();
    void updateFastPath();
    void updateLines(Micros at) { board_.update(port_.masterLines(), faults_, at); }
    void updateLines() { updateLines(clock_.now()); }

    // What the busy wait's reads touch, together.
    SimClock clock_;
    ParallelPort port_;
    unsigned int fastReadAddress_ = kNoFastRead;

    Faults faults_;
    Ds1621 device_{clock_};
    AckGate gate_{device_, faults_};
    BusDecoder decoder_{gate_};
    Board board_{device_, decoder_};
    AccessRights rights_;
    AccessHook hook_;
    FaultSchedule schedule_;
    RealTimePacing pacing_;

    Micros nextTimedEvent_ = 0;  // the earlier of the schedule's next edge and the next pacing
};

// The one simulation behind the port seam of a program linked with the simulated port.
Simulation& simulation();

}  // namespace quorvane::sim
