// The command line of quorvane-plot.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "plot/chart.h"
#include "plot/log_parser.h"

namespace quorvane::plot {

struct PlotOptions {
    std::string log = "quorvane.log";
    ChartRequest chart;
    std::optional<Unit> unit;
};

struct HelpRequested {};

// A message for the user, without the program's name.
struct UsageError {
    std::string message;
};

std::variant<PlotOptions, HelpRequested, UsageError> parsePlotOptions(int argc, char* argv[]);

extern const char* const kPlotUsage;

}  // namespace quorvane::plot
