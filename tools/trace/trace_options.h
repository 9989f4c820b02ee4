// The command line of quorvane_trace.
#pragma once

#include <string>
#include <variant>

namespace quorvane::trace {

struct TraceOptions {
    std::string output = "quorvane.vcd";
    int cycles = 1;
    double celsius = 25.0;
    // A chip as it leaves the factory has the one-shot bit clear, so the first cycle writes the
    // configuration; a configured chip shows the cycle that every later measurement repeats.
    bool fresh = true;
};

struct HelpRequested {};

struct UsageError {
    std::string message;  // without the program's name
};

std::variant<TraceOptions, HelpRequested, UsageError> parseTraceOptions(int argc, char* argv[]);

extern const char* const kTraceUsage;

inline constexpr int kMaxCycles = 1000;
inline constexpr double kMinCelsius = -55.0;  // the chip's measuring range
inline constexpr double kMaxCelsius = 125.0;

}  // namespace quorvane::trace
