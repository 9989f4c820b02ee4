// How soon a reading reaches Home Assistant's side of the broker: the time from the last byte of
// a record written into quorvane-export's standard input to the state message received by a
// subscriber, through a real mosquitto broker on the loopback, with every record published
// (--mqtt-every 0). Google Benchmark gives the median over the repetitions; the 99th percentile
// over every record is a counter of its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "kit/mqtt_broker.h"
#include "record_feed.h"

namespace {

using namespace quorvane::testkit;

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void RecordToMqttMessage(benchmark::State& state) {
    const MqttBroker mosquitto;
    MqttClient home(mosquitto.port(), "quorvane/bench/state");
    ChildProcess exporter(
        {QUORVANE_EXPORT_PATH,
         {"--json", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(mosquitto.port()), "--node",
          "bench", "--mqtt-every", "0", "--no-discovery"},
         {"TZ=UTC0"},
         {},
         true});
    // Connected once the first record's state arrives.
    exporter.writeInput("\n21.4 C 13:59:59 12/08/2026");
    if (!home.waitFor([](const auto& m) { return !m.empty(); })) {
        state.SkipWithError("no state from the exporter");
        return;
    }
    std::vector<double> latencies;
    std::size_t received = 1;
    quorvane::bench::RecordFeed feed(exporter);
    for (auto _ : state) {
        const auto start = feed.writeNext();
        ++received;
        std::vector<MqttMessage> messages;
        const bool arrived = home.waitFor(
            [&](const auto& m) {
                if (m.size() < received) {
                    return false;
                }
                messages = m;
                return true;
            },
            std::chrono::seconds(10));
        if (!arrived) {
            state.SkipWithError("no message within 10 s");
            break;
        }
        // The arrival as the subscriber's thread stamped it, not when this loop noticed.
        const double seconds =
            std::chrono::duration<double>(messages[received - 1].arrival - start).count();
        latencies.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        const auto at = [&latencies](double share) {
            return latencies[static_cast<std::size_t>(share *
                                                      static_cast<double>(latencies.size() - 1))];
        };
        state.counters["median_ms"] = at(0.5) * 1e3;
        state.counters["p99_ms"] = at(0.99) * 1e3;
        state.counters["max_ms"] = latencies.back() * 1e3;
    }
}
BENCHMARK(RecordToMqttMessage)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(3000);

}  // namespace

BENCHMARK_MAIN();
