// What quorvane-export's record scanner hands over, kept for the test and the fuzzer that judge
// it: the records, the events in order ("R:" and a record's text, "T:" and the text of a message,
// its pieces joined), and the input put back together from them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "export/record_scanner.h"

namespace quorvane::testkit {

struct ScannedRecord {
    exporter::RecordKind kind = exporter::RecordKind::Measurement;
    std::string text;
    std::string value;
    char unit = '\0';
};

class ScanLog : public exporter::ScanHandler {
  public:
    void record(const exporter::Record& r) override;
    void text(std::string_view bytes, bool startsMessage) override;

    std::vector<std::string> events;
    std::vector<ScannedRecord> records;
    std::string rebuilt;

  private:
    bool lastWasText_ = false;
};

// The input fed to a scanner in pieces of `piece` bytes (whole by default), then finished.
ScanLog scan(std::string_view input, std::size_t piece = std::string_view::npos);

}  // namespace quorvane::testkit
