// The time axis of a chart: ticks at round times of the local clock, as many as fit side by side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::plot {

// The width of a character of the charts' lettering in pixels, taken generously: the widest
// digit of the 10 and 11 point sans of the PNG and SVG charts is narrower.
inline constexpr int kCharWidth = 8;

struct Tick {
    std::int64_t time = 0;  // Timestamp::localSeconds
    std::string label;      // one line, or two
};

struct TimeAxis {
    std::vector<Tick> ticks;
    std::string title;  // what the labels show, and the date or the year they all share
};

// The room a label takes on the axis, in pixels: its longest line and a margin on either side.
int labelWidth(const std::string& label);

// Ticks over [from, to] on a plot `width` pixels wide: the finest round step (from a second to a
// thousand years; months and years by the calendar) whose labels, each as wide as labelWidth
// says, do not touch.
TimeAxis timeAxis(std::int64_t from, std::int64_t to, int width);

}  // namespace quorvane::plot
