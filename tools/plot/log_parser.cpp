#include "plot/log_parser.h"

namespace quorvane::plot {

ParsedLog parseLog(std::string_view text) {
    ParsedLog log;
    std::size_t lineNumber = 0;
    while (!text.empty() || lineNumber == 0) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.ends_with('\r')) {  // a log copied through a Windows editor
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        if (const auto entry = parseEntry(line)) {
            log.entries.push_back(*entry);
        } else if (log.skipped++ == 0) {
            log.firstSkippedLine = lineNumber;
        }
    }
    return log;
}

std::vector<Series> groupSeries(const std::vector<Entry>& entries, std::optional<Unit> target) {
    std::vector<Series> series;
    for (const Entry& entry : entries) {
        Entry shown = entry;
        if (target) {
            shown.value = convert(entry.value, entry.unit, *target);
            shown.unit = *target;
        }
        if (series.empty() || series.back().unit != shown.unit) {
            series.push_back(Series{shown.unit, {}});
        }
        series.back().entries.push_back(shown);
    }
    return series;
}

}  // namespace quorvane::plot
