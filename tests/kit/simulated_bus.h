// A GoogleTest fixture (for the tests only): the driver on the simulated port, with a logic
// analyser on the two bus lines. Every test starts from a factory-fresh chip at power-on, with
// the sleep skipped, so that whole cycles take no wall time and the simulated clock alone tells
// how long they took.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "kit/bus_analyser.h"
#include "sim/simulation.h"
#include "thermometer/thermometer.h"

namespace quorvane::testkit {

class SimulatedBus : public ::testing::Test {
  public:
    static constexpr std::uint16_t kPort = 0x378;
    // A line change is a read-modify-write of one register and a 1 ms busy wait of 1000 reads.
    static constexpr std::uint64_t kAccessesPerLineChange = 1002;
    // applyPower and setAddress each make one more read-modify-write with no wait of its own.
    static constexpr std::uint64_t kPowerAndAddressExtra = 4;

    static sim::Simulation& sim() { return sim::simulation(); }

  protected:
    void SetUp() override {
        sim().reset();
        sim().setRealSleep(false);
        ASSERT_EQ(RequestPortAccess(kPort, 3, 1), 0);
        port = kPort;
        analyser_.reset(sim().lineState().scl, sim().lineState().sda);
        sim().setLineObserver([this](const sim::LineState& s) {
            trace_.push_back(s);
            analyser_.newLevels(s.scl, s.sda, s.time);
        });
    }
    // The observer refers to this fixture: it must not outlive it.
    void TearDown() override { sim().reset(); }

    // Decoded bus traffic since the last forget().
    std::string bus() const { return analyser_.text(); }
    const std::vector<BusEvent>& events() const { return analyser_.events(); }
    const std::vector<sim::LineState>& trace() const { return trace_; }
    void forget() {
        analyser_.clearEvents();
        trace_.clear();
    }

    // Simulated time spent asleep so far.
    static sim::Micros slept() {
        return sim().clock() - static_cast<sim::Micros>(sim().portAccesses());
    }

    // One measurement cycle on a fresh chip: it stores the one-shot bit.
    void configure() {
        std::int16_t tenths = 0;
        ASSERT_EQ(Temperature(kPort, &tenths), 0);
        ASSERT_EQ(sim().eepromWrites(), 1U);
        forget();
    }

  private:
    BusAnalyser analyser_;
    std::vector<sim::LineState> trace_;
};

}  // namespace quorvane::testkit
