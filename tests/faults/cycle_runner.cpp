#include "faults/cycle_runner.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "frontend/console.h"
#include "sim/simulation.h"

namespace quorvane::test {

namespace {

// "HH:MM:SS MM/DD/YYYY" with plausible fields.
bool isTimeStamp(const std::string& s) {
    static constexpr std::string_view kShape = "00:00:00 00/00/0000";
    if (s.size() != kShape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(s[i])) != 0;
        if (kShape[i] == '0' ? !digit : s[i] != kShape[i]) {
            return false;
        }
    }
    const auto field = [&s](std::size_t at) { return std::stoi(s.substr(at, 2)); };
    return field(0) < 24 && field(3) < 60 && field(6) <= 60 && field(9) >= 1 && field(9) <= 12 &&
           field(12) >= 1 && field(12) <= 31;
}

}  // namespace

ShownLine parseShownLine(const std::string& text) {
    static const std::string kError = "\nError reading thermometer ";
    ShownLine shown;
    shown.text = text;
    if (text.rfind(kError, 0) == 0) {
        shown.error = true;
        shown.wellFormed = isTimeStamp(text.substr(kError.size()));
        return shown;
    }
    // "\n%4.1f C <stamp>": the value is at least four characters wide, padded on the left.
    if (text.size() < 2 || text[0] != '\n') {
        return shown;
    }
    const char* begin = text.c_str() + 1;
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    const std::string_view number(begin, static_cast<std::size_t>(end - begin));
    const std::size_t dot = number.find('.');
    if (end == begin || dot == std::string_view::npos || dot + 2 != number.size() ||
        number.size() < 4 || std::string_view(end).substr(0, 3) != " C ") {
        return shown;
    }
    shown.celsius = value;
    shown.wellFormed = isTimeStamp(std::string(end + 3));
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
    ::testing::internal::CaptureStdout();
    MeasurementCycle(0, -1, &lastLogTime, lineBuffer);
    return parseShownLine(::testing::internal::GetCapturedStdout());
}

bool showsTemperature(const ShownLine& line, double trueCelsius) {
    // 1/32 degree from the chip's counts, 0.05 from showing tenths.
    return line.celsius && std::fabs(*line.celsius - trueCelsius) <= 0.05 + 1.0 / 32 + 1e-9;
}

}  // namespace quorvane::test
