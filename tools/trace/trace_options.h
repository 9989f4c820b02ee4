// The command line of quorvane_trace.
#pragma once

#include <optional>
#include <string>

#include "common/command_line.h"
#include "sim/ds1621.h"

namespace quorvane::trace {

struct TraceOptions {
    std::string output = "quorvane.vcd";
    int cycles = 1;
    // Given with -t; otherwise the temperature of QUORVANE_SIM, or kDefaultCelsius.
    std::optional<double> celsius;
    // A chip as it leaves the factory has the one-shot bit clear, so the first cycle writes the
    // configuration; a configured chip shows the cycle that every later measurement repeats.
    bool fresh = true;
};

tools::CommandLine<TraceOptions> parseTraceOptions(int argc, char* argv[]);

extern const char* const kTraceUsage;

inline constexpr int kMaxCycles = 1000;
inline constexpr double kMinCelsius = sim::kLowestCelsius;
inline constexpr double kMaxCelsius = sim::kHighestCelsius;
inline constexpr double kDefaultCelsius = 25.0;

}  // namespace quorvane::trace
