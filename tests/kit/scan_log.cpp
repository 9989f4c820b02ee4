#include "kit/scan_log.h"

namespace quorvane::testkit {

void ScanLog::record(const exporter::Record& r) {
    events.push_back("R:" + std::string(r.text));
    records.push_back({r.kind, std::string(r.text), std::string(r.value), r.unit});
    rebuilt += "\n" + std::string(r.text);
    lastWasText_ = false;
}

void ScanLog::text(std::string_view bytes, bool startsMessage) {
    if (startsMessage || !lastWasText_) {
        events.emplace_back("T:");
    }
    events.back() += bytes;
    rebuilt += (startsMessage ? "\n" : "") + std::string(bytes);
    lastWasText_ = true;
}

ScanLog scan(std::string_view input, std::size_t piece) {
    ScanLog log;
    exporter::RecordScanner scanner;
    for (std::size_t at = 0; at < input.size(); at += piece) {
        scanner.feed(input.substr(at, piece), log);
    }
    scanner.finish(log);
    return log;
}

}  // namespace quorvane::testkit
