// A measurement as the program shows it, on the console and in quorvane.log alike:
// "<value> <unit letter> HH:MM:SS MM/DD/YYYY", the value as "%4.1f" prints it, the time local and
// without a zone. Every companion that reads the program's output reads it through this.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::tools {

enum class Unit : char { Celsius = 'C', Fahrenheit = 'F', Kelvin = 'K' };

std::optional<Unit> unitFromLetter(char letter);
char letterOf(Unit unit);
// "°C", "°F", "K": how the unit is written next to a number.
std::string symbolOf(Unit unit);

// Converts a temperature between units (through Celsius).
double convert(double value, Unit from, Unit to);

// A local time stamp as the program shows it (no time zone: the program prints none).
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

    // Seconds since 1970-01-01 00:00:00 on the same clock, every day 86400 of them: the time as
    // it reads, with no zone to move it (a leap second counts as the next minute's first).
    std::int64_t localSeconds() const;
    static Timestamp fromLocalSeconds(std::int64_t seconds);
};

// "HH:MM:SS MM/DD/YYYY" exactly, a date of the calendar and a time of the day (a leap second
// included: it is a real reading); nothing otherwise.
std::optional<Timestamp> parseTimestamp(std::string_view text);

struct Entry {
    double value = 0;
    Unit unit = Unit::Celsius;
    Timestamp time;

    friend bool operator==(const Entry&, const Entry&) = default;
};

// One shown measurement without its newline; nothing when the text is not one.
std::optional<Entry> parseEntry(std::string_view line);

}  // namespace quorvane::tools
