// The monotonic clock and its sleeps, as the fake kernels (fake_kernel.h) serve them to the
// program they are preloaded into or linked with. Real: the machine's clock, and each sleep made
// by the kernel itself, past whatever stands in front of libc (libfaketime refuses a sleep until
// a time on the monotonic clock). Virtual: a clock that moves only when the program sleeps, to
// the time it asked for plus the lateness set, and by a microsecond at each reading. A virtual
// run costs only its work and gives the same times on a busy machine as on an idle one, and a
// program that spins on the clock shows in its readings.
//
// A preloaded library takes its settings from the environment variable kEnvironmentVariable
// (Settings::text() makes its value); a test that links it calls restart().
#pragma once

#include <cstdint>
#include <string>

#include "kit/fake_settings.h"

namespace quorvane::testkit {

class FakeClock {
  public:
    static constexpr const char* kEnvironmentVariable = "QUORVANE_FAKE_CLOCK";
    // How late a stalled wake-up comes.
    static constexpr std::int64_t kStallMicros = 3000;

    struct Settings {
        bool virtualTime = false;
        int lateMicros = 0;  // every virtual wake-up comes this late
        int stallEvery = 0;  // and every n-th one kStallMicros late instead; 0: none

        template <typename Visit>
        static void each(Visit visit) {
            visit("virtual", &Settings::virtualTime);
            visit("late-us", &Settings::lateMicros);
            visit("stall-every", &Settings::stallEvery);
        }
        std::string text() const { return fake_settings::text(*this); }
        static Settings parse(const std::string& text) {
            return fake_settings::parse<Settings>(text, "fake clock");
        }
    };

    // Starts the clock again with these settings, and its counts from zero.
    static void restart(const Settings& settings);

    // The time on the clock, in nanoseconds, without counting as the program's reading.
    static std::int64_t now();
    // A sleep of whole seconds passes on a virtual clock too.
    static void passSeconds(unsigned int seconds);
    // The program's sleeps on the monotonic clock, and its readings of it, since the start.
    static std::uint64_t sleeps();
    static std::uint64_t readings();
};

}  // namespace quorvane::testkit
