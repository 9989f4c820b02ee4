// The chart: what the user asked for, and the gnuplot program that draws it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
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

// Text as a chart can show it, whatever bytes it came as, so that every SVG is well-formed XML:
// UTF-8, with each byte that is no part of a character taken for the Latin-1 character it is
// (a title typed on an older terminal), control characters as spaces, and the two code points
// XML cannot hold (U+FFFE, U+FFFF) as U+FFFD.
std::string shownText(std::string_view text);

// A complete gnuplot script: terminal, axes and the data itself, inline, drawn to standard
// output. It holds no text the user gave: the title is its first argument, as gnuplotCommand
// passes it.
std::string gnuplotScript(const ChartData& data, const ChartRequest& request);

// The command that runs `script` with the request's title.
std::vector<std::string> gnuplotCommand(const std::string& script, const ChartRequest& request);

}  // namespace quorvane::plot
