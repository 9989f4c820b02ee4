// One steady measurement cycle of quorvane_ppdev's port on the test kit's fake parallel-port
// device, or of quorvane_gpio's on its fake GPIO chip (one program each, built from this file),
// under the real layers and optimised as the programs are. The fake keeps the real clock, each
// sleep the kernel's own, and skips the conversion's second: the wall time is the bus part alone.
// Per cycle:
//   wall_ms, cpu_ms       the cycle's wall time and the process's processor time;
//   owed_ms, wall_owed    what the reads of the data register owe (a microsecond each), and the
//                         wall time as a share of it;
//   ioctls, sleeps        the register or line requests that reach the kernel, and the sleeps;
//   syscalls              the two together, the system calls the port makes;
//   share_min, _median,   each wait of the busy wait's milliseconds, timed from one access the
//   _p99                  bus sees to the next, as a share of what the reads between them owe
//                         (over all the cycles timed; the microsecond that the read of a
//                         read-modify-write owes is shorter than the access itself);
//   change_min_ms         the shortest time between two line changes.
// BM_BareSleeps makes a cycle's number of sleeps (690) alone, each a millisecond after the last:
// what the kernel's sleeping costs in processor time on this machine, below any port's.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/port_pacing.h"
#include "kit/fake_clock.h"
#include "kit/fake_kernel.h"
#include "thermometer/thermometer.h"

// The ppdev port's program is built with the device it opens.
#ifdef QUORVANE_PPDEV_DEVICE
#include "kit/fake_parport.h"
using Fake = quorvane::testkit::FakeParport;
#else
#include "kit/fake_gpiochip.h"
using Fake = quorvane::testkit::FakeGpiochip;
#endif

namespace {

using quorvane::testkit::FakeClock;
using quorvane::testkit::fakeDevice;

constexpr std::int64_t kNanosPerMilli = 1000000;

double processorNanos() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// The shortest time between two line changes in the fake's journal from entry `from` on, in
// microseconds.
long long shortestChange(std::size_t from) {
    long long shortest = -1;
    const std::vector<std::string> journal = fakeDevice().journal();
    for (std::size_t i = from; i < journal.size(); ++i) {
        const auto cycle = quorvane::testkit::journalCycle(journal[i]);
        if (cycle && cycle->shortest >= 0 && (shortest < 0 || cycle->shortest < shortest)) {
            shortest = cycle->shortest;
        }
    }
    return shortest;
}

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void BM_Cycle(benchmark::State& state) {
    Fake::Settings settings;
#ifdef QUORVANE_PPDEV_DEVICE
    settings.device = QUORVANE_PPDEV_DEVICE;
#endif
    settings.celsius = 21.3;
    settings.realSleep = false;
    FakeClock::restart({});
    Fake::restart(settings);
    if (RequestPortAccess(0x378, 3, 1) != 0) {
        std::fputs("the fake kernel refused the port\n", stderr);
        std::abort();
    }
    std::int16_t tenths = 0;
    Temperature(0x378, &tenths);  // the first cycle stores the one-shot bit
    // The start's line changes come at once, by design; the cycles' are summed up from here.
    const std::size_t steadyFrom = fakeDevice().journal().size();

    // At each access the bus sees: what the reads before it owed, and the wait since the last.
    std::vector<double> shares;
    shares.reserve(4096);
    double owed = 0;
    std::int64_t lastAccess = -1;  // none yet in this cycle
    fakeDevice().setAccessObserver([&shares, &owed, &lastAccess] {
        const std::int64_t now = FakeClock::now();
        owed += static_cast<double>(owedNanos);
        if (lastAccess >= 0 && owedNanos >= kNanosPerMilli) {
            shares.push_back(static_cast<double>(now - lastAccess) /
                             static_cast<double>(owedNanos));
        }
        lastAccess = now;
    });
    double wall = 0;
    double processor = 0;
    std::uint64_t ioctls = 0;
    std::uint64_t sleeps = 0;
    for (auto _ : state) {
        lastAccess = -1;
        const std::uint64_t ioctlsBefore = fakeDevice().ioctls();
        const std::uint64_t sleepsBefore = FakeClock::sleeps();
        const double processorBefore = processorNanos();
        const std::int64_t wallBefore = FakeClock::now();
        benchmark::DoNotOptimize(Temperature(0x378, &tenths));
        wall += static_cast<double>(FakeClock::now() - wallBefore);
        processor += processorNanos() - processorBefore;
        ioctls += fakeDevice().ioctls() - ioctlsBefore;
        sleeps += FakeClock::sleeps() - sleepsBefore;
    }
    fakeDevice().setAccessObserver(nullptr);
    RequestPortAccess(0x378, 3, 0);

    const auto perCycle = [](double total) {
        return benchmark::Counter(total, benchmark::Counter::kAvgIterations);
    };
    state.counters["cpu_ms"] = perCycle(processor / static_cast<double>(kNanosPerMilli));
    state.counters["owed_ms"] = perCycle(owed / static_cast<double>(kNanosPerMilli));
    state.counters["wall_owed"] = wall / owed;
    state.counters["ioctls"] = perCycle(static_cast<double>(ioctls));
    state.counters["sleeps"] = perCycle(static_cast<double>(sleeps));
    state.counters["syscalls"] = perCycle(static_cast<double>(ioctls + sleeps));
    std::sort(shares.begin(), shares.end());
    if (!shares.empty()) {
        state.counters["share_min"] = shares.front();
        state.counters["share_median"] = shares[shares.size() / 2];
        state.counters["share_p99"] = shares[shares.size() * 99 / 100];
    }
    state.counters["change_min_ms"] = static_cast<double>(shortestChange(steadyFrom)) / 1e3;
    state.counters["tenths"] = tenths;
}
BENCHMARK(BM_Cycle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void BM_BareSleeps(benchmark::State& state) {
    const auto sleeps = state.range(0);
    double processor = 0;
    for (auto _ : state) {
        const double processorBefore = processorNanos();
        timespec at{};
        clock_gettime(CLOCK_MONOTONIC, &at);
        for (std::int64_t i = 0; i < sleeps; ++i) {
            at.tv_nsec += 1000000;
            if (at.tv_nsec >= 1000000000) {
                at.tv_nsec -= 1000000000;
                ++at.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        }
        processor += processorNanos() - processorBefore;
    }
    state.counters["cpu_ms"] = benchmark::Counter(processor / static_cast<double>(kNanosPerMilli),
                                                  benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_BareSleeps)->Arg(690)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
