// What a register access costs quorvane_ppdev beyond the port access itself: one ioctl system
// call. Without a parallel port on the machine, the call measured is the closest one at hand:
// FIONREAD on a pipe goes the same way through the kernel's ioctl dispatch and, like ppdev's
// register requests, takes one lock and copies one small value to the caller.
#include <benchmark/benchmark.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>

namespace {

// NOLINTNEXTLINE(readability-identifier-naming): the name the benchmark reports
void BM_IoctlSystemCall(benchmark::State& state) {
    std::array<int, 2> fds{};
    if (pipe(fds.data()) != 0) {
        state.SkipWithError("cannot make a pipe");
        return;
    }
    int waiting = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ioctl(fds[0], FIONREAD, &waiting));
    }
    close(fds[0]);
    close(fds[1]);
    state.counters["bytes_waiting"] = waiting;
}
BENCHMARK(BM_IoctlSystemCall);

}  // namespace
