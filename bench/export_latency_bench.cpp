// How soon a reading leaves quorvane-export: the time from the last byte of a record written
// into its standard input to the whole JSON line read from its standard output, through the
// real program and two pipes, as a reader such as jq or a log shipper sees it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "kit/child_process.h"
#include "record_feed.h"

namespace {

using Clock = std::chrono::steady_clock;

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void RecordToJsonLine(benchmark::State& state) {
    quorvane::testkit::ChildProcess exporter(
        {QUORVANE_EXPORT_PATH, {"--json"}, {"TZ=UTC0"}, {}, true});
    quorvane::bench::RecordFeed feed(exporter);
    std::size_t lines = 0;
    for (auto _ : state) {
        const auto start = feed.writeNext();
        ++lines;
        const bool arrived = exporter.readUntil(
            [lines](const std::string& out) {
                return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) >= lines;
            },
            std::chrono::seconds(10));
        const auto end = Clock::now();
        if (!arrived) {
            state.SkipWithError("no JSON line within 10 s");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}
BENCHMARK(RecordToJsonLine)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
