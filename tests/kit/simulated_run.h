// For the tests that hold a real program on a fake kernel device (fake_parport.h,
// fake_gpiochip.h) against the same layers on the simulated port: what those layers show over
// their first cycles after power-on, as quorvane_sim runs them, with the bus read from the wires;
// and what the program showed. A test that includes it links the core and the simulated port;
// GoogleTest, for the tests only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "frontend/console.h"
#include "kit/bus_analyser.h"
#include "kit/child_process.h"
#include "kit/shown_line.h"
#include "sim/simulation.h"
#include "thermometer/thermometer.h"

namespace quorvane::testkit {

struct SimulatedRun {
    std::vector<std::string> values;  // each cycle's value as shown
    std::vector<std::string> bus;     // the bus's tokens (bus_analyser.h)
};

// The layers' first `cycles` cycles on the simulated port in a room at `celsius`.
inline SimulatedRun onTheSimulatedPort(double celsius, int cycles) {
    sim::Simulation& s = sim::simulation();
    s.reset();
    s.setRealSleep(false);
    s.setTemperature(celsius);
    BusAnalyser analyser(s.lineState().scl, s.lineState().sda);
    s.setLineObserver(
        [&analyser](const sim::LineState& l) { analyser.newLevels(l.scl, l.sda, l.time); });
    SimulatedRun run;
    if (RequestPortAccess(0x378, 3, 1) == 0) {
        port = 0x378;
        driveDataLines();
        for (int cycle = 0; cycle < cycles; ++cycle) {
            std::int16_t tenths = 0;
            static_cast<void>(Temperature(0x378, &tenths));
            char line[kLineBufferSize];
            FormatMeasurementLine(line, sizeof line, tenths, 0, "00:00:00 01/01/2000");
            run.values.push_back(parseMeasurementLine(line).value().valueField);
        }
    }
    s.setLineObserver(nullptr);
    for (const BusEvent& e : analyser.events()) {
        run.bus.push_back(e.token);
    }
    return run;
}

// Stops a program that has shown its first `cycles` cycles, and gives the values they showed.
inline std::vector<std::string> stoppedValues(ChildProcess& program, int cycles) {
    EXPECT_TRUE(program.stop().has_value()) << "still running after SIGINT";
    std::vector<std::string> values;
    for (const ShownLine& line : measurementLines(program.output())) {
        values.push_back(line.valueField);
    }
    values.resize(static_cast<std::size_t>(cycles));
    return values;
}

}  // namespace quorvane::testkit
