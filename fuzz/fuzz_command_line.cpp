// Fuzzes the command line: up to six arguments of arbitrary bytes and lengths go through the
// usage check, the option scan, the banner and one measurement line.
//
// Input layout: two bytes of tenths of a degree (little endian), then the arguments separated
// by NUL bytes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "broken_invariant.h"
#include "common/shown_line.h"
#include "frontend/console.h"
#include "kit/argv.h"

namespace {

constexpr std::size_t kMaxArguments = 6;
constexpr const char* kStamp = "14:05:09 12/08/2026";

// The value the line must show, in its unit, computed independently in double.
double expectedValue(std::int16_t tenths, int unitIndex) {
    const double celsius = static_cast<float>(tenths / 10.0);
    if (unitIndex == 1) {
        return celsius * 9 / 5 + 32;
    }
    if (unitIndex == 2) {
        return celsius + 273.15;
    }
    return celsius;
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): libFuzzer calls it by this name
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The banner and usage text are printed; only what breaks matters here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

// NOLINTNEXTLINE(readability-identifier-naming): libFuzzer calls it by this name
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const auto tenths = static_cast<std::int16_t>(data[0] | (data[1] << 8));
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

    std::vector<std::string> args;
    for (std::size_t from = 0; from <= rest.size() && args.size() < kMaxArguments;) {
        const std::size_t end = std::min(rest.find('\0', from), rest.size());
        args.emplace_back(rest.substr(from, end - from));
        from = end + 1;
    }
    quorvane::testkit::Argv argv(args);
    const int argc = argv.argc();

    const int usage = UsageRequested(argc, argv.argv());
    if (usage != 0 && usage != 1) {
        abortOnBrokenInvariant("usage check gives 0 or 1");
    }
    if (usage == 1) {
        Usage();
    }
    int unitIndex = 0;
    std::int32_t logFrequency = -1;
    int verbose = 0;
    ScanOptions(argc, argv.argv(), &unitIndex, &logFrequency, &verbose);
    if (unitIndex < 0 || unitIndex > 2 || (verbose != 0 && verbose != 1)) {
        abortOnBrokenInvariant("option scan keeps the unit in 0..2 and verbose 0 or 1");
    }
    PrintBanner(unitIndex, logFrequency);

    // The same reading stamped as the program stamps it is a measurement that the companions
    // read back as the reading, in the unit chosen.
    char reference[kLineBufferSize];
    FormatMeasurementLine(reference, sizeof reference, tenths, unitIndex, kStamp);
    const auto entry = quorvane::tools::parseEntry(std::string_view(reference).substr(1));
    if (reference[0] != '\n' || !entry ||
        quorvane::tools::letterOf(entry->unit) != "CFK"[unitIndex]) {
        abortOnBrokenInvariant("line is value, unit letter, time stamp");
    }
    if (std::fabs(entry->value - expectedValue(tenths, unitIndex)) > 0.05 + 1e-3) {
        abortOnBrokenInvariant("line shows the reading to one decimal");
    }
    // The time stamp is fuzzed too: the last argument, whatever its length. It follows the
    // value and unit, cut only where the buffer ends.
    const char* stamp = argc > 0 ? argv.argv()[argc - 1] : "";
    char line[kLineBufferSize];
    FormatMeasurementLine(line, sizeof line, tenths, unitIndex, stamp);
    const std::string whole = std::string(reference, std::strlen(reference) - 19) + stamp;
    if (std::string_view(line) != std::string_view(whole).substr(0, sizeof line - 1)) {
        abortOnBrokenInvariant(
            "line starts with a newline, ends with the time stamp and fits its buffer");
    }
    std::fflush(stdout);
    return 0;
}
