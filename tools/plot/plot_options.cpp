#include "plot/plot_options.h"

#include "numbers/numbers.h"

namespace quorvane::plot {

const char* const kPlotUsage =
    "Usage: quorvane-plot [OPTION]... [LOG]\n"
    "Draw the temperatures of a quorvane log (default quorvane.log) against their time stamps.\n"
    "\n"
    "  -o, --output FILE   image to write (default quorvane.png, or quorvane.svg)\n"
    "  -f, --format FMT    png or svg (default: from the name of FILE, else png)\n"
    "  -s, --size WxH      image size in pixels, 64 to 8192 each (default 800x480)\n"
    "  -u, --unit U        convert every entry to C, F or K and draw one series\n"
    "  -t, --title TEXT    a title above the chart\n"
    "  -h, --help          show this help and exit\n"
    "\n"
    "Without --unit, entries in different units are separate series, all drawn in the unit of\n"
    "the last entry. The line breaks at gaps in the log and where the unit changes.\n"
    "Exit status: 0 on success, 1 when the chart could not be made, 2 for a bad command line.\n";

namespace {

constexpr int kMinSide = 64;
constexpr int kMaxSide = 8192;

std::optional<ImageFormat> formatFromName(std::string_view name) {
    if (name == "png") {
        return ImageFormat::Png;
    }
    if (name == "svg") {
        return ImageFormat::Svg;
    }
    return std::nullopt;
}

std::optional<ImageFormat> formatFromPath(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return std::nullopt;
    }
    std::string extension(path.substr(dot + 1));
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return formatFromName(extension);
}

std::optional<std::pair<int, int>> parseSize(std::string_view text) {
    const std::size_t x = text.find('x');
    if (x == std::string_view::npos) {
        return std::nullopt;
    }
    const auto width = numbers::parseInteger(text.substr(0, x), kMinSide, kMaxSide);
    const auto height = numbers::parseInteger(text.substr(x + 1), kMinSide, kMaxSide);
    if (!width || !height) {
        return std::nullopt;
    }
    return std::pair{static_cast<int>(*width), static_cast<int>(*height)};
}

}  // namespace

tools::CommandLine<PlotOptions> parsePlotOptions(int argc, char* argv[]) {
    PlotOptions options;
    std::optional<std::string> output;
    std::optional<ImageFormat> format;
    std::optional<std::string> log;
    tools::OptionReader reader(argc, argv, tools::Words::InOrder,
                               {{"output", 'o', true},
                                {"format", 'f', true},
                                {"size", 's', true},
                                {"unit", 'u', true},
                                {"title", 't', true}});
    for (int c = reader.next(); c != tools::OptionReader::kEnd; c = reader.next()) {
        const std::string_view value = reader.value();
        switch (c) {
            case 'h':
                return tools::HelpRequested{};
            case tools::OptionReader::kWord:
                if (log || value.empty()) {
                    return tools::UsageError{"give at most one log file"};
                }
                log = std::string(value);
                break;
            case 'o':
                if (value.empty()) {
                    return tools::UsageError{"the output file name is empty"};
                }
                output = std::string(value);
                break;
            case 'f':
                format = formatFromName(value);
                if (!format) {
                    return tools::UsageError{"unknown format '" + std::string(value) +
                                             "': use png or svg"};
                }
                break;
            case 's': {
                const auto size = parseSize(value);
                if (!size) {
                    return tools::UsageError{"bad size '" + std::string(value) +
                                             "': give WIDTHxHEIGHT, each 64 to 8192 pixels"};
                }
                options.chart.width = size->first;
                options.chart.height = size->second;
                break;
            }
            case 'u': {
                const auto unit = value.size() == 1 ? unitFromLetter(value[0]) : std::nullopt;
                if (!unit) {
                    return tools::UsageError{"unknown unit '" + std::string(value) +
                                             "': use C, F or K"};
                }
                options.unit = unit;
                break;
            }
            case 't':
                options.chart.title = std::string(value);
                break;
            default:  // an unknown option or a missing value
                return reader.error(c);
        }
    }
    // What follows "--" is the log's name, even one that begins with a dash.
    if (reader.endedByDashes()) {
        const auto rest = reader.rest();
        if (rest.size() != 1) {
            return tools::UsageError{"give exactly one log file after --"};
        }
        if (log || *rest[0] == '\0') {
            return tools::UsageError{"give at most one log file"};
        }
        log = rest[0];
    }

    if (log) {
        options.log = *log;
    }
    if (output) {
        const auto named = formatFromPath(*output);
        if (format && named && *named != *format) {
            return tools::UsageError{"the output name " + *output +
                                     " does not match the format asked for"};
        }
        if (!format && !named) {
            return tools::UsageError{"cannot tell the format from " + *output +
                                     ": add --format png|svg"};
        }
        options.chart.format = format ? *format : *named;
        options.chart.output = *output;
    } else {
        options.chart.format = format.value_or(ImageFormat::Png);
        options.chart.output =
            options.chart.format == ImageFormat::Svg ? "quorvane.svg" : "quorvane.png";
    }
    return options;
}

}  // namespace quorvane::plot
