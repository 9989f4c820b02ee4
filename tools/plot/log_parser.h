// Reading quorvane.log: entries of "\n<value> <unit letter> HH:MM:SS MM/DD/YYYY", one after
// another, the file beginning with an empty line and ending without a newline. Runs append to
// the same file with no mark between them, so a run shows only where the unit changes.
#pragma once

#include <compare>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::plot {

enum class Unit : char { Celsius = 'C', Fahrenheit = 'F', Kelvin = 'K' };

std::optional<Unit> unitFromLetter(char letter);
char letterOf(Unit unit);
// "°C", "°F", "K": how the unit is written next to a number.
std::string symbolOf(Unit unit);

// Converts a temperature between units (through Celsius).
double convert(double value, Unit from, Unit to);

// A local time stamp as the entry shows it (no time zone: the log has none).
struct Timestamp {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;

    // The defaulted comparison compares with a literal 0 inside, which the check takes for a
    // null pointer.
    // NOLINTNEXTLINE(modernize-use-nullptr)
    friend auto operator<=>(const Timestamp&, const Timestamp&) = default;
    // "YYYY-MM-DDTHH:MM:SS", one word, for the chart's data.
    std::string iso() const;
};

struct Entry {
    double value = 0;
    Unit unit = Unit::Celsius;
    Timestamp time;

    friend bool operator==(const Entry&, const Entry&) = default;
};

// One line of the file without its newline; nothing when it is not an entry.
std::optional<Entry> parseEntry(std::string_view line);

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
