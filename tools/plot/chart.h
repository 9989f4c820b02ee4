// The chart: what the user asked for, and the gnuplot program that draws it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "plot/series.h"

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

// The series' name in the key: the unit its entries were logged in, and the one they are drawn
// in where that is another.
std::string seriesLabel(const Series& series, Unit shown);

// A complete gnuplot script: terminal, output, axes and the data itself, inline. It holds no
// text the user gave: the image's path and the title are its first two arguments, as
// gnuplotCommand passes them.
std::string gnuplotScript(const ChartData& data, const ChartRequest& request);

// The command that runs `script` to draw into `image` with the request's title.
std::vector<std::string> gnuplotCommand(const std::string& script, const std::string& image,
                                        const ChartRequest& request);

}  // namespace quorvane::plot
