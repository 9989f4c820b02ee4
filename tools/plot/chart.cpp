#include "plot/chart.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "plot/time_axis.h"

namespace quorvane::plot {

namespace {

// The length of the UTF-8 character at the start of `text` (shortest form, no surrogate, at most
// U+10FFFF), with its code point; 0 when the bytes are no such character.
std::size_t utf8Character(std::string_view text, char32_t& code) {
    const auto byte = [&text](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0U;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    // The range the second byte must lie in keeps out long forms, surrogates and beyond U+10FFFF.
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    code = lead & (0x7FU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned next = byte(i);
        if (next < (i == 1 ? low : 0x80U) || next > (i == 1 ? high : 0xBFU)) {
            return 0;
        }
        code = (code << 6) | (next & 0x3FU);
    }
    return length;
}

void appendUtf8(std::string& text, char32_t code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// gnuplot's single-quoted string, for the chart's own labels: nothing is interpreted but a
// doubled quote.
std::string quoted(const std::string& text) {
    std::string result = "'";
    for (const char c : shownText(text)) {
        result += c;
        if (c == '\'') {
            result += '\'';
        }
    }
    return result + "'";
}

std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

}  // namespace

std::string shownText(std::string_view text) {
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        std::size_t length = utf8Character(text.substr(at), code);
        if (length == 0) {
            code = static_cast<unsigned char>(text[at]);
            length = 1;
        }
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
            code = ' ';
        } else if (code == 0xFFFE || code == 0xFFFF) {
            code = 0xFFFD;
        }
        appendUtf8(shown, code);
        at += length;
    }
    return shown;
}

std::string seriesColour(std::size_t index) {
    static constexpr std::array<const char*, 6> kColours{"#0060c0", "#d04000", "#008040",
                                                         "#8000a0", "#a08000", "#006080"};
    return kColours[index % kColours.size()];
}

std::string seriesLabel(const Series& series, Unit shown) {
    std::string label = "logged in " + symbolOf(series.logged);
    return series.logged == shown ? label : label + ", shown in " + symbolOf(shown);
}

std::string gnuplotScript(const ChartData& data, const ChartRequest& request) {
    std::ostringstream script;
    const std::string size = std::to_string(request.width) + "," + std::to_string(request.height);
    if (request.format == ImageFormat::Svg) {
        script << "set terminal svg size " << size << " fixed noenhanced font 'sans,11'\n";
    } else {
        script << "set terminal pngcairo size " << size << " noenhanced font 'sans,10'\n";
    }
    script << "set encoding utf8\n";
    // The image goes to standard output, which is the file made for it: gnuplot opens nothing by
    // name. The title is gnuplot's argument, read as the string it is: no character of it can
    // end a command or a quoted string.
    if (!request.title.empty()) {
        script << "set title ARG1\n";
    }

    // A single moment would leave gnuplot an empty range to complain about.
    const std::int64_t from = data.first == data.last ? data.first - 30 : data.first;
    const std::int64_t to = data.first == data.last ? data.last + 30 : data.last;
    const bool keyed = data.series.size() > 1;
    std::size_t longestLabel = 0;
    for (const Series& s : data.series) {
        longestLabel = std::max(longestLabel, seriesLabel(s, data.unit).size());
    }
    // The plot's width is the image's less the room of the temperatures on the left and of the
    // key, or of the last time label, on the right.
    const std::size_t margins = 12 + (keyed ? longestLabel + 6 : 5);
    const int width = request.width - static_cast<int>(margins) * kCharWidth;
    const TimeAxis axis = timeAxis(from, to, width);
    script << "set xdata time\n";
    script << "set timefmt '%s'\n";
    script << "set xrange [" << from << ":" << to << "]\n";
    script << "set xtics (";
    bool twoRows = false;
    for (std::size_t i = 0; i < axis.ticks.size(); ++i) {
        const Tick& tick = axis.ticks[i];
        std::string label = tick.label;
        const std::size_t newline = label.find('\n');
        if (newline != std::string::npos) {
            label.replace(newline, 1, "\\n");
            twoRows = true;
        }
        script << (i == 0 ? "" : ", ") << '"' << label << "\" " << tick.time;
    }
    script << ")\n";
    // gnuplot leaves room under the ticks for one row of labels only: the title goes a row
    // lower when they have two.
    script << "set xlabel " << quoted(axis.title) << (twoRows ? " offset 0,-1" : "") << "\n";
    script << "set ylabel " << quoted("Temperature (" + symbolOf(data.unit) + ")") << "\n";

    double low = 0;
    double high = 0;
    bool any = false;
    for (const Series& s : data.series) {
        for (const Column& c : s.columns) {
            low = any ? std::min(low, c.low.value) : c.low.value;
            high = any ? std::max(high, c.high.value) : c.high.value;
            any = true;
        }
    }
    // A flat reading would leave gnuplot an empty range too.
    if (high - low < 0.2) {
        script << "set yrange [" << number(low - 1) << ":" << number(high + 1) << "]\n";
    }
    // Room above and below, so that the highest and lowest readings do not lie on the border.
    script << "set offsets 0, 0, graph 0.05, graph 0.05\n";
    script << "set grid\n";
    if (keyed) {
        script << "set key outside right top\n";
    } else {
        script << "unset key\n";
        script << "set rmargin 5\n";  // room for the last time label
    }

    // An empty line in the data breaks the line there. Where the points would crowd each other
    // only the line is drawn, and a point only where it stands alone between two breaks.
    const std::string kPoint = " pointtype 7 pointsize 0.5";
    std::ostringstream plot;
    plot << "plot ";
    for (std::size_t i = 0; i < data.series.size(); ++i) {
        const std::vector<Column>& columns = data.series[i].columns;
        std::ostringstream alone;
        std::size_t points = 0;
        script << "$series" << i << " << EOD\n";
        for (std::size_t c = 0; c < columns.size(); ++c) {
            script << (c > 0 && !columns[c].joined ? "\n" : "");
            const std::vector<Point> shown = columns[c].points();
            for (const Point& p : shown) {
                script << p.time << ' ' << number(p.value) << '\n';
            }
            points += shown.size();
            if (shown.size() == 1 && !columns[c].joined &&
                (c + 1 == columns.size() || !columns[c + 1].joined)) {
                alone << shown[0].time << ' ' << number(shown[0].value) << '\n';
            }
        }
        script << "EOD\n";
        const bool crowded = static_cast<int>(points) * 4 > width;
        const bool pointsAlone = crowded && !alone.str().empty();
        if (pointsAlone) {
            script << "$alone" << i << " << EOD\n" << alone.str() << "EOD\n";
        }
        const std::string colour = " linecolor rgb '" + seriesColour(i) + "'";
        plot << (i == 0 ? "" : ", \\\n     ") << "$series" << i << " using 1:2 with "
             << (crowded ? "lines linewidth 2" : "linespoints linewidth 2" + kPoint) << colour
             << " title " << quoted(seriesLabel(data.series[i], data.unit));
        if (pointsAlone) {
            plot << ", \\\n     $alone" << i << " using 1:2 with points" << kPoint << colour
                 << " notitle";
        }
    }
    script << plot.str() << "\n";
    return script.str();
}

std::vector<std::string> gnuplotCommand(const std::string& script, const ChartRequest& request) {
    return {"gnuplot", "-c", script, shownText(request.title)};
}

}  // namespace quorvane::plot
