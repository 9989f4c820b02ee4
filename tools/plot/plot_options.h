// The command line of quorvane-plot.
#pragma once

#include <optional>
#include <string>

#include "common/command_line.h"
#include "plot/chart.h"
#include "plot/log_reader.h"

namespace quorvane::plot {

struct PlotOptions {
    std::string log = "quorvane.log";
    ChartRequest chart;
    std::optional<Unit> unit;
};

tools::CommandLine<PlotOptions> parsePlotOptions(int argc, char* argv[]);

extern const char* const kPlotUsage;

}  // namespace quorvane::plot
