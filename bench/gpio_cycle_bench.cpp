// One steady measurement cycle of quorvane_gpio's port through the faked GPIO chip, with the
// conversion's second of sleep skipped: the wall time is the bus part alone, which the paced
// reads of the data register hold to the parallel port's 867 ms (1000 reads a millisecond). Also
// counted: the ioctls that reach the chip, and the processor time, which the busy wait fills.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "bus/port_io.h"
#include "kit/fake_gpiochip.h"
#include "kit/fake_kernel.h"
#include "thermometer/thermometer.h"

namespace {

using quorvane::testkit::FakeGpiochip;

double processorSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void BM_GpioCycle(benchmark::State& state) {
    FakeGpiochip::Settings settings;
    settings.celsius = 21.3;
    settings.realSleep = false;
    FakeGpiochip::restart(settings);
    if (RequestPortAccess(0x378, 3, 1) != 0) {
        std::fputs("the faked GPIO chip refused the lines\n", stderr);
        std::abort();
    }
    std::int16_t tenths = 0;
    Temperature(0x378, &tenths);  // the first cycle stores the one-shot bit
    std::uint64_t ioctls = 0;
    double processor = 0;
    for (auto _ : state) {
        const std::uint64_t ioctlsBefore = quorvane::testkit::fakeDevice().ioctls();
        const double processorBefore = processorSeconds();
        benchmark::DoNotOptimize(Temperature(0x378, &tenths));
        processor += processorSeconds() - processorBefore;
        ioctls = quorvane::testkit::fakeDevice().ioctls() - ioctlsBefore;
    }
    RequestPortAccess(0x378, 3, 0);
    state.counters["ioctls"] = static_cast<double>(ioctls);
    state.counters["cpu_ms"] =
        benchmark::Counter(processor * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["tenths"] = tenths;
}
BENCHMARK(BM_GpioCycle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
