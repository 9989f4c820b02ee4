// quorvane-plot on a long log: a year of -l3 is ten million entries, about 270 MB of text. The
// real program draws it with the real gnuplot; the counters give the wall time and the peak
// memory of the largest process so far, quorvane-plot or gnuplot.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <numbers>
#include <string>

#include "common/process.h"
#include "kit/files.h"

namespace {

// Entries as quorvane -l3 logs them, 3 or 4 seconds apart from 2026-01-01, the room drifting over
// the day and the year, with the sensor unplugged for two days every 2.5 million entries.
bool writeLog(const std::string& path, std::int64_t entries) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    std::time_t t = 1767225600;
    for (std::int64_t i = 0; i < entries; ++i) {
        t += i % 2 == 0 ? 3 : 4;
        if (i % 2'500'000 == 2'499'999) {
            t += std::time_t{2} * 86400;
        }
        std::tm tm{};
        gmtime_r(&t, &tm);
        const double day = std::sin(2 * std::numbers::pi * static_cast<double>(t % 86400) / 86400);
        const double year = std::sin(2 * std::numbers::pi * static_cast<double>(t) / 31'557'600);
        const double celsius = 21 + 3 * day + 5 * year + static_cast<double>(i % 7) / 10;
        std::fprintf(file, "\n%4.1f C %02d:%02d:%02d %02d/%02d/%04d", celsius, tm.tm_hour,
                     tm.tm_min, tm.tm_sec, tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
    }
    return std::fclose(file) == 0;
}

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void PlotLog(benchmark::State& state) {
    // The logs and the chart, removed with them when the benchmark ends.
    static const quorvane::testkit::TempDir kWorkspace;
    const std::string log = kWorkspace.file(std::to_string(state.range(0)) + ".log");
    if (!std::filesystem::exists(log) && !writeLog(log, state.range(0))) {
        state.SkipWithError("cannot write the log");
        return;
    }
    for (auto _ : state) {
        if (quorvane::tools::runProgram(
                {QUORVANE_PLOT_PATH, "-o", kWorkspace.file("chart.png"), log}) != 0) {
            state.SkipWithError("quorvane-plot failed");
            return;
        }
    }
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    state.counters["log_MB"] = static_cast<double>(std::filesystem::file_size(log)) / 1e6;
    state.counters["max_rss_MB"] = static_cast<double>(children.ru_maxrss) / 1024;  // from KiB
}

BENCHMARK(PlotLog)
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
