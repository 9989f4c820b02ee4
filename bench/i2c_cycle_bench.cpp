// One steady measurement cycle of quorvane_i2c through the test kit's faked I2C adapter (linked
// in): the wall time, which is the conversion's second of sleep and the SMBus calls; the ioctls
// that reach the adapter; and the processor time, the program's and the fake's together (the
// simulated chip answers in this process, where a real adapter's work is the kernel's).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bus/port_io.h"
#include "kit/fake_i2c.h"
#include "thermometer/thermometer.h"

namespace {

using quorvane::testkit::FakeI2c;

double processorSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void BM_I2cCycle(benchmark::State& state) {
    // The chip's lock goes to a directory of the benchmark's own, not the machine's /run/lock.
    char root[] = "/tmp/quorvane-i2c-bench-XXXXXX";
    if (mkdtemp(root) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    FakeI2c::Settings settings;
    settings.celsius = 21.3;
    settings.root = root;
    FakeI2c::restart(settings);
    if (RequestPortAccess(0x378, 3, 1) != 0) {
        std::fputs("the faked I2C adapter was refused\n", stderr);
        std::abort();
    }
    std::int16_t tenths = 0;
    Temperature(0x378, &tenths);  // the first cycle stores the one-shot bit
    std::uint64_t ioctls = 0;
    double processor = 0;
    for (auto _ : state) {
        const std::uint64_t ioctlsBefore = FakeI2c::ioctls();
        const double processorBefore = processorSeconds();
        benchmark::DoNotOptimize(Temperature(0x378, &tenths));
        processor += processorSeconds() - processorBefore;
        ioctls = FakeI2c::ioctls() - ioctlsBefore;
    }
    RequestPortAccess(0x378, 3, 0);
    std::filesystem::remove_all(root);
    state.counters["ioctls"] = static_cast<double>(ioctls);
    state.counters["cpu_us"] =
        benchmark::Counter(processor * 1e6, benchmark::Counter::kAvgIterations);
    state.counters["tenths"] = tenths;
}
BENCHMARK(BM_I2cCycle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
