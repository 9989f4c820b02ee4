// What the program shows, as the tests read it: its output split into messages, and a message
// taken apart when it is a measurement line or the line of a failed cycle. The measurement
// itself is read by the companions' own parser (common/shown_line.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::testkit {

// The line of a failed cycle begins so; its time stamp follows.
inline constexpr std::string_view kErrorLine = "\nError reading thermometer ";

struct ShownLine {
    std::string text;        // the whole message, its leading newline included
    bool error = false;      // the line of a failed cycle, which has no value
    std::string valueField;  // the value as printed, padding included
    double value = 0.0;
    char unit = '?';           // 'C', 'F' or 'K'
    std::int64_t seconds = 0;  // the time stamp in seconds since the epoch, read as UTC
};

// The message taken apart; nothing when it is not exactly one of the two lines.
std::optional<ShownLine> parseShownLine(std::string_view message);
// The same, for a measurement line only.
std::optional<ShownLine> parseMeasurementLine(std::string_view message);

// Splits output into its messages, each with its leading newline. Text before the first newline
// comes out as a message of its own (the program prints none).
std::vector<std::string> splitMessages(const std::string& output);

// The measurement lines among the messages of output, in order; the last one only when whole.
std::vector<ShownLine> measurementLines(const std::string& output);

}  // namespace quorvane::testkit
