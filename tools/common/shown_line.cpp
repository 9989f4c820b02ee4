#include "common/shown_line.h"

#include <chrono>

#include "numbers/numbers.h"

namespace quorvane::tools {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Exactly `width` digits at text[at...], within [low, high].
std::optional<int> field(std::string_view text, std::size_t at, std::size_t width, int low,
                         int high) {
    if (at + width > text.size()) {
        return std::nullopt;
    }
    const auto value = numbers::parseInteger(text.substr(at, width), low, high);
    if (!value || !isDigit(text[at])) {  // from_chars would take a sign
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

// The value as "%4.1f" prints it: padding spaces, an optional minus, digits, a point and one
// digit.
std::optional<double> parseValue(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view number = text.substr(first);
    std::size_t digits = number.starts_with('-') ? 1 : 0;
    const std::size_t point = number.find('.');
    if (point == std::string_view::npos || point == digits || point + 2 != number.size() ||
        !isDigit(number.back())) {
        return std::nullopt;
    }
    for (; digits < point; ++digits) {
        if (!isDigit(number[digits])) {
            return std::nullopt;
        }
    }
    return numbers::parseDecimal(number, -1e9, 1e9);
}

// The date of the proleptic Gregorian calendar the stamp names.
std::chrono::year_month_day dateOf(int year, int month, int day) {
    return std::chrono::year{year} / month / day;
}

}  // namespace

std::optional<Unit> unitFromLetter(char letter) {
    switch (letter) {
        case 'C':
            return Unit::Celsius;
        case 'F':
            return Unit::Fahrenheit;
        case 'K':
            return Unit::Kelvin;
        default:
            return std::nullopt;
    }
}

char letterOf(Unit unit) {
    return static_cast<char>(unit);
}

std::string symbolOf(Unit unit) {
    switch (unit) {
        case Unit::Fahrenheit:
            return "\u00b0F";
        case Unit::Kelvin:
            return "K";
        case Unit::Celsius:
            break;
    }
    return "\u00b0C";
}

double convert(double value, Unit from, Unit to) {
    if (from == to) {
        return value;
    }
    double celsius = value;
    if (from == Unit::Fahrenheit) {
        celsius = (value - 32) * 5 / 9;
    } else if (from == Unit::Kelvin) {
        celsius = value - 273.15;
    }
    if (to == Unit::Fahrenheit) {
        return celsius * 9 / 5 + 32;
    }
    if (to == Unit::Kelvin) {
        return celsius + 273.15;
    }
    return celsius;
}

std::int64_t Timestamp::localSeconds() const {
    using namespace std::chrono;
    const sys_seconds instant =
        sys_days{dateOf(year, month, day)} + hours{hour} + minutes{minute} + seconds{second};
    return instant.time_since_epoch().count();
}

Timestamp Timestamp::fromLocalSeconds(std::int64_t seconds) {
    using namespace std::chrono;
    const sys_seconds instant{std::chrono::seconds{seconds}};
    const sys_days date = floor<days>(instant);
    const year_month_day ymd{date};
    const hh_mm_ss inDay{instant - date};
    Timestamp t;
    t.year = static_cast<int>(ymd.year());
    t.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    t.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    t.hour = static_cast<int>(inDay.hours().count());
    t.minute = static_cast<int>(inDay.minutes().count());
    t.second = static_cast<int>(inDay.seconds().count());
    return t;
}

std::optional<Timestamp> parseTimestamp(std::string_view text) {
    if (text.size() != 19 || text[2] != ':' || text[5] != ':' || text[8] != ' ' ||
        text[11] != '/' || text[14] != '/') {
        return std::nullopt;
    }
    const auto hour = field(text, 0, 2, 0, 23);
    const auto minute = field(text, 3, 2, 0, 59);
    const auto second = field(text, 6, 2, 0, 60);
    const auto month = field(text, 9, 2, 1, 12);
    const auto day = field(text, 12, 2, 1, 31);
    const auto year = field(text, 15, 4, 1000, 9999);
    if (!hour || !minute || !second || !month || !day || !year ||
        !dateOf(*year, *month, *day).ok()) {
        return std::nullopt;
    }
    return Timestamp{*year, *month, *day, *hour, *minute, *second};
}

std::optional<Entry> parseEntry(std::string_view line) {
    // The line ends in " U HH:MM:SS MM/DD/YYYY": 22 characters after the value.
    constexpr std::size_t kTail = 22;
    if (line.size() <= kTail) {
        return std::nullopt;
    }
    const std::string_view tail = line.substr(line.size() - kTail);
    const auto unit = unitFromLetter(tail[1]);
    const auto value = parseValue(line.substr(0, line.size() - kTail));
    const auto time = parseTimestamp(tail.substr(3));
    if (tail[0] != ' ' || tail[2] != ' ' || !unit || !value || !time) {
        return std::nullopt;
    }
    return Entry{*value, *unit, *time};
}

}  // namespace quorvane::tools
