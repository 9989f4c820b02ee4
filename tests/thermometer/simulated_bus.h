// The driver on the simulated port, with a logic analyser on the two bus lines. Every test
// starts from a factory-fresh chip at power-on, with the sleep skipped, so that whole cycles
// take no wall time and the simulated clock alone tells how long they took.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "sim/simulation.h"
#include "support/bus_events.h"
#include "thermometer/thermometer.h"

namespace simbus {

using quorvane::sim::LineState;
using quorvane::sim::Micros;
using quorvane::sim::Simulation;

inline constexpr std::uint16_t kPort = 0x378;

// A line change is a read-modify-write of one register and a 1 ms busy wait of 1000 reads.
inline constexpr std::uint64_t kAccessesPerLineChange = 1002;
// applyPower and setAddress each make one more read-modify-write with no wait of its own.
inline constexpr std::uint64_t kPowerAndAddressExtra = 4;

inline Simulation& sim() {
    return quorvane::sim::simulation();
}

class SimulatedBus : public ::testing::Test {
  protected:
    void SetUp() override {
        sim().reset();
        sim().setRealSleep(false);
        ASSERT_EQ(RequestPortAccess(kPort, 3, 1), 0);
        port = kPort;
        const LineState& now = sim().lines();
        decoder_.reset(now.scl, now.sda);
        sim().setLineObserver([this](const LineState& s) {
            trace_.push_back(s);
            decoder_.lines(s.scl, s.sda, s.time);
        });
    }
    // The observer refers to this fixture: it must not outlive it.
    void TearDown() override { sim().reset(); }

    // Decoded bus traffic since the last forget().
    std::string bus() const { return decoder_.text(); }
    const std::vector<busevents::Event>& events() const { return decoder_.events(); }
    const std::vector<LineState>& trace() const { return trace_; }
    void forget() {
        decoder_.clearEvents();
        trace_.clear();
    }

    // Simulated time spent asleep so far.
    static Micros slept() { return sim().clock() - static_cast<Micros>(sim().portAccesses()); }

    // One measurement cycle on a fresh chip: it stores the one-shot bit.
    void configure() {
        std::int16_t tenths = 0;
        ASSERT_EQ(Temperature(kPort, &tenths), 0);
        ASSERT_EQ(sim().eepromWrites(), 1U);
        forget();
    }

  private:
    busevents::Decoder decoder_;
    std::vector<LineState> trace_;
};

}  // namespace simbus
