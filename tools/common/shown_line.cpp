#include "common/shown_line.h"

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

int daysInMonth(int year, int month) {
    constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Days between 1970-01-01 and the date of the proleptic Gregorian calendar, counted through
// eras of 400 years (146097 days) that begin on the first of March.
std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

constexpr std::int64_t kSecondsPerDay = 86400;

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
    return daysFromCivil(year, month, day) * kSecondsPerDay + std::int64_t{hour} * 3600 +
           std::int64_t{minute} * 60 + second;
}

Timestamp Timestamp::fromLocalSeconds(std::int64_t seconds) {
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t inDay = seconds % kSecondsPerDay;
    if (inDay < 0) {
        inDay += kSecondsPerDay;
        --days;
    }
    // The inverse of daysFromCivil.
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
    const int month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    Timestamp t;
    t.year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    t.month = month;
    t.day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    t.hour = static_cast<int>(inDay / 3600);
    t.minute = static_cast<int>(inDay / 60 % 60);
    t.second = static_cast<int>(inDay % 60);
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
        *day > daysInMonth(*year, *month)) {
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
