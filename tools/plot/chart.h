// The chart: what the user asked for, and the gnuplot program that draws it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "plot/log_parser.h"

namespace quorvane::plot {

enum class ImageFormat { Png, Svg };

struct ChartRequest {
    std::string output = "quorvane.png";
    ImageFormat format = ImageFormat::Png;
    int width = 800;
    int height = 480;
    std::string title;
};

// The colour of the n-th series (0-based), as "#rrggbb"; the first is a blue that nothing else
// on the chart uses.
std::string seriesColour(std::size_t index);

// A complete gnuplot script: terminal, output, axes and the data itself, inline.
std::string gnuplotScript(const std::vector<Series>& series, const ChartRequest& request);

}  // namespace quorvane::plot
