#include "kit/fake_clock.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "kit/fake_kernel.h"

namespace quorvane::testkit {

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;
constexpr std::int64_t kNanosPerMicro = 1000;

using ClockGettimeFunction = int(clockid_t, timespec*);
using ClockNanosleepFunction = int(clockid_t, int, const timespec*, timespec*);

std::int64_t nanos(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * kNanosPerSecond + t.tv_nsec;
}

int libcClockGettime(clockid_t clock, timespec* now) {
    static ClockGettimeFunction* const kLibc = libcFunction<ClockGettimeFunction>("clock_gettime");
    return kLibc(clock, now);
}

std::int64_t realNow() {
    timespec now{};
    libcClockGettime(CLOCK_MONOTONIC, &now);
    return nanos(now);
}

struct State {
    FakeClock::Settings settings;
    std::int64_t virtualNow = 0;
    std::uint64_t sleeps = 0;
    std::uint64_t readings = 0;
};

State& state() {
    static State clock = [] {
        const char* text = std::getenv(FakeClock::kEnvironmentVariable);
        return State{text != nullptr ? FakeClock::Settings::parse(text) : FakeClock::Settings{},
                     realNow()};
    }();
    return clock;
}

}  // namespace

void FakeClock::restart(const Settings& settings) {
    state() = State{settings, realNow()};
}

std::int64_t FakeClock::now() {
    const State& s = state();
    return s.settings.virtualTime ? s.virtualNow : realNow();
}

void FakeClock::passSeconds(unsigned int seconds) {
    if (state().settings.virtualTime) {
        state().virtualNow += std::int64_t{seconds} * kNanosPerSecond;
    }
}

std::uint64_t FakeClock::sleeps() {
    return state().sleeps;
}

std::uint64_t FakeClock::readings() {
    return state().readings;
}

}  // namespace quorvane::testkit

// The entry points, in front of libc's.
using namespace quorvane::testkit;

// The parameters keep libc's names, which clang-tidy holds a definition to.
extern "C" {

// NOLINTNEXTLINE(readability-identifier-naming)
int clock_gettime(clockid_t clock_id, timespec* tp) noexcept {
    if (clock_id != CLOCK_MONOTONIC) {
        return libcClockGettime(clock_id, tp);
    }
    State& s = state();
    ++s.readings;
    if (!s.settings.virtualTime) {
        return libcClockGettime(clock_id, tp);
    }
    s.virtualNow += kNanosPerMicro;
    tp->tv_sec = static_cast<time_t>(s.virtualNow / kNanosPerSecond);
    tp->tv_nsec = static_cast<long>(s.virtualNow % kNanosPerSecond);
    return 0;
}

// NOLINTNEXTLINE(readability-identifier-naming)
int clock_nanosleep(clockid_t clock_id, int flags, const timespec* req, timespec* rem) {
    if (clock_id != CLOCK_MONOTONIC) {
        return libcFunction<ClockNanosleepFunction>("clock_nanosleep")(clock_id, flags, req, rem);
    }
    State& s = state();
    ++s.sleeps;
    if (!s.settings.virtualTime) {
        return syscall(SYS_clock_nanosleep, clock_id, flags, req, rem) == 0 ? 0 : errno;
    }
    const std::int64_t until =
        (flags & TIMER_ABSTIME) != 0 ? nanos(*req) : s.virtualNow + nanos(*req);
    if (until > s.virtualNow) {
        const bool stalls = s.settings.stallEvery > 0 &&
                            s.sleeps % static_cast<std::uint64_t>(s.settings.stallEvery) == 0;
        s.virtualNow =
            until + kNanosPerMicro * (stalls ? FakeClock::kStallMicros : s.settings.lateMicros);
    }
    return 0;
}

}  // extern "C"
