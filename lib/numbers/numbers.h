// Strict reading of numbers a person wrote (options, settings, the lines the tools read back):
// the whole text must be the number, so "10s", "", " 5" and "1e999" are refused instead of read
// as something the user did not mean.
#pragma once

#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>
#include <system_error>

namespace quorvane::numbers {

// A decimal integer within [low, high], or nothing.
inline std::optional<long long> parseInteger(std::string_view text, long long low, long long high) {
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || ptr != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// A decimal number such as "21.5" or "-3" within [low, high], or nothing. Digits stand on both
// sides of a point: ".2" and "2." are refused, so that "1...2" cannot be read as "1" and ".2".
inline std::optional<double> parseDecimal(std::string_view text, double low, double high) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const std::size_t sign = text.starts_with('-') ? 1 : 0;
    const std::size_t point = text.find('.');
    if (text.size() <= sign || !isDigit(text[sign]) || !isDigit(text.back()) ||
        (point != std::string_view::npos && !isDigit(text[point - 1]))) {
        return std::nullopt;
    }
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || error != std::errc{} || ptr != end || !(value >= low && value <= high)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace quorvane::numbers
