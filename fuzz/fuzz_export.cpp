// Fuzzes quorvane-export's reading of a program's output: arbitrary bytes, fed in pieces of a
// size the input chooses, through the record scanner and every output format.
//
// Input layout: one byte for the size of the pieces, then the bytes to read.
//
// Invariants: no byte is lost or added; the pieces give what the whole gives; every record is
// exactly what the program would print for its value; and a record that follows the input is
// always found, whatever came before it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "broken_invariant.h"
#include "export/exporter.h"
#include "kit/scan_log.h"

namespace {

using namespace quorvane::exporter;
using namespace quorvane::testkit;

void check(const ScannedRecord& r) {
    constexpr std::size_t kStamp = 19;
    if (r.text.size() < kStamp) {
        abortOnBrokenInvariant("a record ends with its time stamp");
    }
    const std::string stamp = r.text.substr(r.text.size() - kStamp);
    if (r.kind == RecordKind::Error) {
        if (r.text != "Error reading thermometer " + stamp) {
            abortOnBrokenInvariant("an error record is the error line");
        }
        return;
    }
    char line[96];
    std::snprintf(line, sizeof line, "%4.1f %c %s", std::strtod(r.value.c_str(), nullptr), r.unit,
                  stamp.c_str());
    if (r.text != line) {
        abortOnBrokenInvariant("a measurement record is what printf makes of its value");
    }
}

// The input scanned, every record it holds checked.
ScanLog scanChecked(std::string_view input, std::size_t piece) {
    ScanLog log = scan(input, piece);
    for (const ScannedRecord& record : log.records) {
        check(record);
    }
    return log;
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): libFuzzer calls it by this name
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = 1 + data[0] % 64;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    const ScanLog whole = scanChecked(input, input.size() + 1);
    if (whole.rebuilt != input) {
        abortOnBrokenInvariant("the records and the text are the input");
    }
    if (scanChecked(input, piece).events != whole.events) {
        abortOnBrokenInvariant("pieces give what the whole gives");
    }
    const std::string next = "\n21.4 C 14:05:09 12/08/2026";
    const ScanLog followed = scanChecked(std::string(input) + next, piece);
    if (followed.events.empty() || followed.events.back() != "R:" + next.substr(1)) {
        abortOnBrokenInvariant("a record after any input is found");
    }

    for (const Format format : {Format::Copy, Format::Lines, Format::Json}) {
        std::string out;
        Exporter exporter(
            format, [&out](std::string_view bytes) { out += bytes; },
            [] { return std::time_t{1796735109}; });
        for (std::size_t at = 0; at < input.size(); at += piece) {
            exporter.input(input.substr(at, piece), at + piece >= input.size());
        }
        exporter.end();
        if (format == Format::Copy && out != input) {
            abortOnBrokenInvariant("the copy is the input");
        }
        if (format == Format::Lines && !out.empty() && out.back() != '\n') {
            abortOnBrokenInvariant("lines end with a newline");
        }
        static_cast<void>(exposition(exporter.readings(), "fuzz"));
    }
    return 0;
}
