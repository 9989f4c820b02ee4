// The cost of one simulated measurement cycle, next to a bare loop making the same number of
// volatile reads, so that what the simulation adds shows as a ratio. Also checks that the
// measurement loop allocates nothing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <fcntl.h>
#include <unistd.h>

#include "bus/port_io.h"
#include "frontend/console.h"
#include "sim/simulation.h"
#include "thermometer/thermometer.h"

namespace {

std::atomic<std::uint64_t> allocations{0};

using quorvane::sim::simulation;

// A configured chip at a room temperature, with the sleep skipped.
void prepare() {
    auto& sim = simulation();
    sim.setRealSleep(false);
    sim.reset();
    sim.setTemperature(21.3);
    if (RequestPortAccess(0x378, 3, 1) != 0) {
        std::fputs("simulated port refused access\n", stderr);
        std::abort();
    }
    std::int16_t tenths = 0;
    Temperature(0x378, &tenths);  // the first cycle stores the one-shot bit
}

std::uint64_t accessesPerCycle() {
    prepare();
    const std::uint64_t before = simulation().portAccesses();
    std::int16_t tenths = 0;
    Temperature(0x378, &tenths);
    return simulation().portAccesses() - before;
}

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void BM_SimulatedCycle(benchmark::State& state) {
    prepare();
    std::int16_t tenths = 0;
    std::uint64_t accesses = 0;
    std::uint64_t allocated = 0;
    for (auto _ : state) {
        const std::uint64_t before = simulation().portAccesses();
        const std::uint64_t allocationsBefore = allocations.load();
        benchmark::DoNotOptimize(Temperature(0x378, &tenths));
        allocated += allocations.load() - allocationsBefore;
        accesses = simulation().portAccesses() - before;
    }
    state.counters["port_accesses"] = static_cast<double>(accesses);
    state.counters["allocations"] = static_cast<double>(allocated);
    state.counters["tenths"] = tenths;
}
BENCHMARK(BM_SimulatedCycle)->Unit(benchmark::kMillisecond);

// The whole loop turn of the program: measure, format, print (to /dev/null), log (off).
// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void BM_MeasurementLoopTurn(benchmark::State& state) {
    prepare();
    // The lines go to /dev/null while timed; the benchmark's own report needs stdout back after.
    std::fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    if (savedStdout < 0 || devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) {
        state.SkipWithError("cannot send standard output to /dev/null");
        return;
    }
    std::int64_t lastLogTime = 0;
    char lineBuffer[kLineBufferSize];
    std::uint64_t allocated = 0;
    for (auto _ : state) {
        const std::uint64_t allocationsBefore = allocations.load();
        MeasurementCycle(0, -1, &lastLogTime, lineBuffer);
        allocated += allocations.load() - allocationsBefore;
    }
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    close(devNull);
    state.counters["allocations"] = static_cast<double>(allocated);
}
BENCHMARK(BM_MeasurementLoopTurn)->Unit(benchmark::kMillisecond);

// The floor: as many volatile reads as a cycle makes port accesses.
// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void BM_BareVolatileReads(benchmark::State& state) {
    const std::uint64_t reads = accessesPerCycle();
    volatile std::uint8_t latch = 0x80;
    for (auto _ : state) {
        for (std::uint64_t i = 0; i < reads; ++i) {
            static_cast<void>(latch);  // a volatile read the compiler must make
        }
    }
    state.counters["reads"] = static_cast<double>(reads);
}
BENCHMARK(BM_BareVolatileReads)->Unit(benchmark::kMillisecond);

}  // namespace

// GCC takes the malloc inside a replacement operator new for a mismatch with the free below.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts every heap allocation, so that the benchmark shows the measurement loop makes none.
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

BENCHMARK_MAIN();
