#include "kit/shown_line.h"

#include <chrono>

#include "common/shown_line.h"

namespace quorvane::testkit {

namespace {

std::int64_t secondsOf(const tools::Timestamp& t) {
    using namespace std::chrono;
    const sys_days day{year(t.year) / t.month / t.day};
    return day.time_since_epoch() / 1s + (std::int64_t{t.hour} * 60 + t.minute) * 60 + t.second;
}

}  // namespace

std::optional<ShownLine> parseShownLine(std::string_view message) {
    ShownLine line;
    line.text = message;
    std::optional<tools::Timestamp> stamp;
    if (message.starts_with(kErrorLine)) {
        line.error = true;
        stamp = tools::parseTimestamp(message.substr(kErrorLine.size()));
    } else if (const auto entry = message.starts_with('\n') ? tools::parseEntry(message.substr(1))
                                                            : std::nullopt) {
        // The entry ends in " U HH:MM:SS MM/DD/YYYY".
        line.valueField = message.substr(1, message.size() - 1 - 22);
        line.value = entry->value;
        line.unit = tools::letterOf(entry->unit);
        stamp = entry->time;
    }
    if (!stamp) {
        return std::nullopt;
    }
    line.seconds = secondsOf(*stamp);
    return line;
}

std::optional<ShownLine> parseMeasurementLine(std::string_view message) {
    auto line = parseShownLine(message);
    return line && !line->error ? line : std::nullopt;
}

std::vector<std::string> splitMessages(const std::string& output) {
    std::vector<std::string> messages;
    std::size_t at = 0;
    while (at < output.size()) {
        std::size_t next = output.find('\n', at + 1);
        if (next == std::string::npos) {
            next = output.size();
        }
        messages.push_back(output.substr(at, next - at));
        at = next;
    }
    return messages;
}

std::vector<ShownLine> measurementLines(const std::string& output) {
    std::vector<ShownLine> lines;
    for (const auto& message : splitMessages(output)) {
        if (auto line = parseMeasurementLine(message)) {
            lines.push_back(*line);
        }
    }
    return lines;
}

}  // namespace quorvane::testkit
