#include "plot/chart.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <sstream>

namespace quorvane::plot {

namespace {

// gnuplot's single-quoted string: nothing is interpreted but a doubled quote.
std::string quoted(const std::string& text) {
    std::string result = "'";
    for (const char c : text) {
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

// The date as the log writes it, MM/DD/YYYY.
std::string dayOf(const Timestamp& t) {
    char date[16];
    std::snprintf(date, sizeof date, "%02d/%02d/%04d", t.month, t.day, t.year);
    return date;
}

std::string unitList(const std::vector<Series>& series) {
    std::vector<Unit> units;
    for (const Series& s : series) {
        if (std::find(units.begin(), units.end(), s.unit) == units.end()) {
            units.push_back(s.unit);
        }
    }
    std::string list;
    for (const Unit unit : units) {
        list += (list.empty() ? "" : ", ") + symbolOf(unit);
    }
    return list;
}

}  // namespace

std::string seriesColour(std::size_t index) {
    static constexpr std::array<const char*, 6> kColours{"#0060c0", "#d04000", "#008040",
                                                         "#8000a0", "#a08000", "#006080"};
    return kColours[index % kColours.size()];
}

std::string gnuplotScript(const std::vector<Series>& series, const ChartRequest& request) {
    std::ostringstream script;
    const std::string size = std::to_string(request.width) + "," + std::to_string(request.height);
    if (request.format == ImageFormat::Svg) {
        script << "set terminal svg size " << size << " fixed noenhanced font 'sans,11'\n";
    } else {
        script << "set terminal pngcairo size " << size << " noenhanced font 'sans,10'\n";
    }
    script << "set encoding utf8\n";
    script << "set output " << quoted(request.output) << "\n";
    if (!request.title.empty()) {
        script << "set title " << quoted(request.title) << "\n";
    }

    double low = 0;
    double high = 0;
    Timestamp first;
    Timestamp last;
    std::set<std::string> days;
    bool any = false;
    for (const Series& s : series) {
        for (const Entry& e : s.entries) {
            low = any ? std::min(low, e.value) : e.value;
            high = any ? std::max(high, e.value) : e.value;
            first = any ? std::min(first, e.time) : e.time;
            last = any ? std::max(last, e.time) : e.time;
            days.insert(e.time.iso().substr(0, 10));
            any = true;
        }
    }

    script << "set xdata time\n";
    script << "set timefmt '%Y-%m-%dT%H:%M:%S'\n";
    // The time of day alone is clear while the log stays within one day.
    if (days.size() <= 1) {
        script << "set format x '%H:%M:%S'\n";
        script << "set xlabel " << quoted("Time (HH:MM:SS, local, " + dayOf(first) + ")") << "\n";
    } else {
        script << "set format x \"%m/%d\\n%H:%M\"\n";
        script << "set xlabel 'Time (MM/DD HH:MM, local)'\n";
    }
    script << "set ylabel " << quoted("Temperature (" + unitList(series) + ")") << "\n";
    // A flat reading or a single entry would leave gnuplot an empty range to complain about.
    if (high - low < 0.2) {
        script << "set yrange [" << number(low - 1) << ":" << number(high + 1) << "]\n";
    }
    if (first == last) {
        const std::string at = "strptime('%Y-%m-%dT%H:%M:%S', '" + first.iso() + "')";
        script << "set xrange [" << at << " - 30 : " << at << " + 30]\n";
    }
    // Room above and below, so that the highest and lowest readings do not lie on the border.
    script << "set offsets 0, 0, graph 0.05, graph 0.05\n";
    script << "set grid\n";
    if (series.size() > 1) {
        script << "set key outside right top\n";
    } else {
        script << "unset key\n";
        script << "set rmargin 5\n";  // room for the last time label
    }

    for (std::size_t i = 0; i < series.size(); ++i) {
        script << "$series" << i << " << EOD\n";
        for (const Entry& e : series[i].entries) {
            script << e.time.iso() << ' ' << number(e.value) << '\n';
        }
        script << "EOD\n";
    }
    script << "plot ";
    for (std::size_t i = 0; i < series.size(); ++i) {
        const Series& s = series[i];
        const std::string label = "run " + std::to_string(i + 1) + " (" + symbolOf(s.unit) + ")";
        script
            << (i == 0 ? "" : ", \\\n     ") << "$series" << i
            << " using 1:2 with linespoints linewidth 2 pointtype 7 pointsize 0.5 linecolor rgb '"
            << seriesColour(i) << "' title " << quoted(label);
    }
    script << "\nset output\n";
    return script.str();
}

}  // namespace quorvane::plot
