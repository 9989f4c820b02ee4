// Fuzzes the command line: up to six arguments of arbitrary bytes and lengths go through the
// usage check, the option scan, the banner and one measurement line.
//
// Input layout: two bytes of tenths of a degree (little endian), then the arguments separated
// by NUL bytes. Each argument lives in a heap block of exactly its own size, so a read past its
// end is caught by AddressSanitizer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "frontend/console.h"

namespace {

constexpr std::size_t kMaxArguments = 6;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

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

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The banner and usage text are printed; only what breaks matters here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const auto tenths = static_cast<std::int16_t>(data[0] | (data[1] << 8));
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    std::size_t from = 0;
    while (from <= rest.size() && argv.size() < kMaxArguments) {
        std::size_t end = rest.find('\0', from);
        if (end == std::string_view::npos) {
            end = rest.size();
        }
        const std::size_t length = end - from;
        auto arg = std::make_unique<char[]>(length + 1);
        std::memcpy(arg.get(), rest.data() + from, length);
        arg[length] = '\0';
        argv.push_back(arg.get());
        storage.push_back(std::move(arg));
        from = end + 1;
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    const int usage = UsageRequested(argc, argv.data());
    if (usage != 0 && usage != 1) {
        fail("usage check gives 0 or 1");
    }
    if (usage == 1) {
        Usage();
    }
    int unitIndex = 0;
    std::int32_t logFrequency = -1;
    int verbose = 0;
    ScanOptions(argc, argv.data(), &unitIndex, &logFrequency, &verbose);
    if (unitIndex < 0 || unitIndex > 2 || (verbose != 0 && verbose != 1)) {
        fail("option scan keeps the unit in 0..2 and verbose 0 or 1");
    }
    PrintBanner(unitIndex, logFrequency);

    // The time stamp is fuzzed too: the last argument, whatever its length.
    const char* stamp = argc > 0 ? argv[static_cast<std::size_t>(argc - 1)] : "";
    char line[kLineBufferSize];
    FormatMeasurementLine(line, sizeof line, tenths, unitIndex, stamp);
    const std::size_t length = std::strlen(line);
    if (length == 0 || length >= sizeof line || line[0] != '\n') {
        fail("line starts with a newline and fits its buffer");
    }
    char* end = nullptr;
    const double shown = std::strtod(line + 1, &end);
    const char letter = "CFK"[unitIndex];
    if (end == line + 1 || end[0] != ' ' || end[1] != letter || end[2] != ' ') {
        fail("line is value, unit letter, time stamp");
    }
    if (std::fabs(shown - expectedValue(tenths, unitIndex)) > 0.05 + 1e-3) {
        fail("line shows the reading to one decimal");
    }
    // The stamp follows, cut only where the buffer ends.
    if (std::strncmp(end + 3, stamp, sizeof line - 1 - static_cast<std::size_t>(end + 3 - line)) !=
        0) {
        fail("line ends with the time stamp");
    }
    std::fflush(stdout);
    return 0;
}
