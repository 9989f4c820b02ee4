// The simulated parallel port with the adapter and a DS1621-type thermometer behind it, and the
// controls tests use to set the scene and break things.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "sim/bus_decoder.h"
#include "sim/ds1621.h"
#include "sim/pacer.h"
#include "sim/parallel_port.h"
#include "sim/sim_clock.h"

namespace quorvane::sim {

// Thrown from a port access chosen with Simulation::killAtAccess: the program dies there, in the
// middle of whatever it was doing, and the chip and the port latches stay as they were.
class ProcessKilled : public std::runtime_error {
  public:
    ProcessKilled() : std::runtime_error("process killed by the simulation") {}
};

// Every wire after a change of any of them.
struct LineState {
    Micros time = 0;
    bool scl = false;
    bool sda = true;  // the line itself, high unless pulled low
    bool masterPullsSdaLow = false;
    bool devicePullsSdaLow = false;
    bool vdd = false;
    bool a2 = false;
    bool a1 = false;
    bool a0 = false;
};

enum class SdaStuck : std::uint8_t { No, Low, High };

// The faults a schedule can set: the chip unplugged, its supply broken, the data line stuck low
// or high, the chip no longer acknowledging.
enum class Fault : std::uint8_t { Unplugged, Unpowered, SdaLow, SdaHigh, NeverAcknowledge };
inline constexpr std::size_t kFaultKinds = 5;

// A fault that holds on the simulated clock from `from` until `to`, or for ever without it.
struct FaultWindow {
    Fault fault = Fault::Unplugged;
    Micros from = 0;
    std::optional<Micros> to;
    friend bool operator==(const FaultWindow&, const FaultWindow&) = default;
};

// A room that warms and cools by 3 degrees around 21 over ten minutes of simulated time.
TemperatureProfile roomDrift();

class Simulation {
  public:
    using LineObserver = std::function<void(const LineState&)>;
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
    bool realSleep() const { return realSleep_; }
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
    void setNeverAcknowledge(bool never);
    // Acknowledges `bytes` more bytes (addresses and data), then none; nullopt lifts it.
    void stopAcknowledgingAfter(std::optional<unsigned long> bytes);
    // The chip's address pins strapped to a fixed 3-bit address instead of the adapter's lines.
    void strapAddress(std::optional<std::uint8_t> address);
    // Every access request fails with this errno; nullopt lifts it.
    void refuseAccess(std::optional<int> errnoValue) { refusal_ = errnoValue; }
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

    // --- Observing.
    Micros clock() const { return clock_.now(); }
    std::uint64_t portAccesses() const { return clock_.accesses(); }
    unsigned long eepromWrites() const { return device_.eepromWrites(); }
    DeviceRegisters registers() { return device_.registers(); }
    const LineState& lineState() const { return state_; }
    // All eight bits of the control latch, as a driver that keeps a copy of it knows them.
    std::uint8_t controlLatch() const { return port_.controlLatch(); }
    BusDecoder::Phase busPhase() const { return decoder_.phase(); }
    void setLineObserver(LineObserver observer) { observer_ = std::move(observer); }

  private:
    // Sits between the bit-level decoder and the chip and withholds acknowledges.
    class AckGate final : public BusTarget {
      public:
        explicit AckGate(BusTarget& chip) : chip_(chip) {}
        void setNever(bool never) { never_ = never; }
        void setBudget(std::optional<unsigned long> budget) { budget_ = budget; }
        void start() override { chip_.start(); }
        void stop() override { chip_.stop(); }
        bool address(std::uint8_t byte) override {
            return refused() ? false : take(chip_.address(byte));
        }
        bool write(std::uint8_t byte) override {
            return refused() ? false : take(chip_.write(byte));
        }
        std::uint8_t read() override { return chip_.read(); }

      private:
        bool refused() const { return never_ || (budget_ && *budget_ == 0); }
        bool take(bool acked) {
            if (acked && budget_) {
                --*budget_;
            }
            return acked;
        }
        BusTarget& chip_;
        bool never_ = false;
        std::optional<unsigned long> budget_;
    };

    static constexpr Micros kNever = std::numeric_limits<Micros>::max();

    [[gnu::noinline]] std::uint8_t inputSlow(std::uint16_t address);
    void beginAccess(std::uint16_t address);
    // What is due on the simulated clock: the schedule's faults and the pacing.
    void timedEvents();
    void applyScheduledFaults();
    void setFaultsOpenAt(Micros at);
    void planTimedEvents();
    [[noreturn]] void accessFault(std::uint16_t address) const;
    void updateFastPath();
    // `at` is the time of the change: a fault's edge may be seen only after it.
    void updateLines(Micros at);
    void updateLines() { updateLines(clock_.now()); }
    bool sdaLine(bool masterLow, bool deviceLow) const;
    void publish(const MasterLines& m, bool deviceLow, Micros at);

    SimClock clock_;
    ParallelPort port_;
    Ds1621 device_{clock_};
    AckGate gate_{device_};
    BusDecoder decoder_{gate_};

    unsigned int fastReadAddress_ = 0x10000;  // no 16-bit address: the fast path is off
    std::bitset<0x10000> granted_;
    std::optional<int> refusal_;
    bool realSleep_ = true;

    bool devicePresent_ = true;
    bool supplyBroken_ = false;
    SdaStuck sdaStuck_ = SdaStuck::No;
    std::optional<std::uint8_t> strap_;

    std::uint64_t actionCountdown_ = 0;
    Action action_;

    std::vector<FaultWindow> windows_;
    std::vector<Micros> edges_;  // every start and end of a window, in order
    std::size_t nextEdge_ = 0;
    Pacer pacer_;
    Micros nextPace_ = 0;
    Micros nextTimedEvent_ = 0;  // the earlier of the next edge and the next pacing

    LineState state_;
    LineObserver observer_;
};

// The one simulation behind the port seam of a program linked with the simulated port.
Simulation& simulation();

}  // namespace quorvane::sim
