// Reading quorvane.log: entries of "\n<value> <unit letter> HH:MM:SS MM/DD/YYYY", one after
// another, the file beginning with an empty line and ending without a newline. Runs append to
// the same file with no mark between them, so a run shows only where the unit changes.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "common/shown_line.h"

namespace quorvane::plot {

using tools::convert;
using tools::Entry;
using tools::letterOf;
using tools::parseEntry;
using tools::symbolOf;
using tools::Timestamp;
using tools::Unit;
using tools::unitFromLetter;

struct ParsedLog {
    std::vector<Entry> entries;
    std::size_t skipped = 0;           // non-empty lines that are not entries
    std::size_t firstSkippedLine = 0;  // 1-based line number of the first of them, or 0
};

// Empty lines are the separators the format itself makes and are not counted as skipped.
ParsedLog parseLog(std::string_view text);

struct Series {
    Unit unit = Unit::Celsius;
    std::vector<Entry> entries;
};

// Without a target unit: one series per stretch of consecutive entries in the same unit (a
// file in one unit is one series). With one: every entry converted to it, in one series.
std::vector<Series> groupSeries(const std::vector<Entry>& entries, std::optional<Unit> target);

}  // namespace quorvane::plot
