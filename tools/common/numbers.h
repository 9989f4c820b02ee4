// Strict reading of numbers given on a command line: the whole text must be the number, so
// "10s", "", " 5" and "1e999" are refused instead of read as something the user did not mean.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace quorvane::tools {

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

// A decimal number such as "21.5" or "-3" within [low, high], or nothing.
inline std::optional<double> parseDecimal(std::string_view text, double low, double high) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || error != std::errc{} || ptr != end || !(value >= low && value <= high)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace quorvane::tools
