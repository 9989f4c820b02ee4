#include "faults/cycle_runner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <regex>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "frontend/console.h"
#include "sim/simulation.h"

namespace quorvane::test {

namespace {
const std::regex kStamp(R"([0-2]\d:[0-5]\d:[0-6]\d [01]\d/[0-3]\d/\d{4})");
const std::regex kErrorLine(R"(\nError reading thermometer (.*))");
const std::regex kMeasurementLine(R"(\n( ?-?\d+\.\d) C (.*))");
}  // namespace

ShownLine parseShownLine(const std::string& text) {
    ShownLine shown;
    shown.text = text;
    std::smatch m;
    if (std::regex_match(text, m, kErrorLine)) {
        shown.error = true;
        shown.wellFormed = std::regex_match(m[1].str(), kStamp);
    } else if (std::regex_match(text, m, kMeasurementLine)) {
        shown.celsius = std::strtod(m[1].str().c_str(), nullptr);
        shown.wellFormed = std::regex_match(m[2].str(), kStamp);
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
    std::int32_t lastLogTime = 0;
    ::testing::internal::CaptureStdout();
    MeasurementCycle(0, -1, &lastLogTime, lineBuffer);
    return parseShownLine(::testing::internal::GetCapturedStdout());
}

bool showsTemperature(const ShownLine& line, double trueCelsius) {
    // 1/32 degree from the chip's counts, 0.05 from showing tenths.
    return line.celsius && std::fabs(*line.celsius - trueCelsius) <= 0.05 + 1.0 / 32 + 1e-9;
}

}  // namespace quorvane::test
