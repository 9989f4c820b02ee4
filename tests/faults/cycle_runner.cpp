#include "faults/cycle_runner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "frontend/console.h"
#include "kit/files.h"
#include "kit/shown_line.h"
#include "sim/simulation.h"

namespace quorvane::test {

ShownLine parseShownLine(const std::string& text) {
    ShownLine shown;
    shown.text = text;
    shown.error = text.starts_with(testkit::kErrorLine);
    if (const auto line = testkit::parseShownLine(text)) {
        shown.wellFormed = line->error || line->unit == 'C';
        if (!line->error && line->unit == 'C') {
            shown.celsius = line->value;
        }
    }
    return shown;
}

void freshSimulation(double celsius) {
    sim::Simulation& s = sim::simulation();
    s.reset();
    s.setRealSleep(false);
    s.setTemperature(celsius);
    ASSERT_EQ(RequestPortAccess(0x378, 3, 1), 0);
    port = 0x378;
}

ShownLine runCycle() {
    static char lineBuffer[kLineBufferSize];
    std::int64_t lastLogTime = 0;
    return parseShownLine(
        testkit::printedBy([&] { MeasurementCycle(0, -1, &lastLogTime, lineBuffer); }));
}

bool showsTemperature(const ShownLine& line, double trueCelsius) {
    // 1/32 degree from the chip's counts, 0.05 from showing tenths.
    return line.celsius && std::fabs(*line.celsius - trueCelsius) <= 0.05 + 1.0 / 32 + 1e-9;
}

}  // namespace quorvane::test
