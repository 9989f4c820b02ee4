// Runs turns of the measurement loop in-process against the simulated thermometer and reads
// back what the user would have seen on the console.
#pragma once

#include <optional>
#include <string>

namespace quorvane::test {

// One printed line, taken apart.
struct ShownLine {
    std::string text;
    bool error = false;             // "\nError reading thermometer <time stamp>"
    std::optional<double> celsius;  // the value of a measurement line in degrees C
    bool wellFormed = false;        // one of the two forms, with a valid time stamp
};

ShownLine parseShownLine(const std::string& text);

// A fresh simulated chip at `celsius`, access to the port granted, sleeps skipped.
void freshSimulation(double celsius);

// One turn of the measurement loop (Celsius, no log); returns what it printed.
ShownLine runCycle();

// A measurement line showing the true temperature to the display's precision: the chip's counts
// resolve 1/16 degree and the line shows tenths.
bool showsTemperature(const ShownLine& line, double trueCelsius);

}  // namespace quorvane::test
