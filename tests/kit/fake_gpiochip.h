// The kernel's GPIO character device, faked for tests, so that quorvane_gpio can be tested on a
// machine without a board. Preloaded into a program, or linked into a test, the library serves
// open, ioctl and close of one GPIO chip (uAPI v2) whose lines `sda` and `scl` are wired to the
// simulated adapter's data and clock lines, with the thermometer behind them powered and
// addressed as on a board. Nothing reaches a real chip: the device path is served whether or not
// it exists, and listed among the entries of /dev.
//
// A preloaded library takes its settings from the environment variable kEnvironmentVariable
// (Settings::text() makes its value); a test that links it calls restart().
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kit/fake_settings.h"
#include "sim/simulation.h"

namespace quorvane::testkit {

class FakeGpiochip {
  public:
    static constexpr const char* kEnvironmentVariable = "QUORVANE_FAKE_GPIOCHIP";
    static constexpr std::uint64_t kForever = std::numeric_limits<std::uint64_t>::max();
    static constexpr int kNoLine = -1;

    struct Settings {
        std::string device = "/dev/gpiochip0";
        std::string label = "pinctrl-bcm2711";
        int lines = 58;  // named GPIO0, GPIO1, ...
        int sda = 2;     // the lines wired to the thermometer
        int scl = 3;
        int openErrno = 0;              // open fails with this (ENOENT, EACCES)
        int heldLine = kNoLine;         // held by another consumer ("i2c"): the request gets EBUSY
        int noPullUp = kNoLine;         // reads low whenever nothing drives it high
        int latchOnly = kNoLine;        // as an output, reads back its own output value
        std::optional<double> celsius;  // a fixed temperature; otherwise the room's drift
        bool chipPresent = true;        // the thermometer on the bus
        // Line ioctls number `failFrom` (1 = the first) and the `failCount - 1` after it fail
        // with `failErrno`, as when a USB adapter is unplugged.
        std::uint64_t failFrom = 0;
        std::uint64_t failCount = 0;
        int failErrno = 0;
        bool realSleep = true;  // sleep passes real time too, not only the chip's
        std::string journal;    // a file that receives the journal as it grows

        // Each setting with its name in the environment variable, for text() and parse().
        template <typename Visit>
        static void each(Visit visit) {
            visit("device", &Settings::device);
            visit("label", &Settings::label);
            visit("lines", &Settings::lines);
            visit("sda", &Settings::sda);
            visit("scl", &Settings::scl);
            visit("open-errno", &Settings::openErrno);
            visit("held-line", &Settings::heldLine);
            visit("no-pull-up", &Settings::noPullUp);
            visit("latch-only", &Settings::latchOnly);
            visit("celsius", &Settings::celsius);
            visit("chip-present", &Settings::chipPresent);
            visit("fail-from", &Settings::failFrom);
            visit("fail-count", &Settings::failCount);
            visit("fail-errno", &Settings::failErrno);
            visit("real-sleep", &Settings::realSleep);
            visit("journal", &Settings::journal);
        }

        // The value for the environment variable (kit/fake_settings.h), and back.
        std::string text() const { return fake_settings::text(*this); }
        static Settings parse(const std::string& text) {
            return fake_settings::parse<Settings>(text, "fake gpiochip");
        }
    };

    // Starts the fake again with these settings: a fresh chip, no file open, an empty journal.
    static void restart(const Settings& settings);

    // The simulated adapter and thermometer behind the lines.
    static sim::Simulation& simulation();

    // What the fake saw, in order, one entry a line:
    //   "open", "close", "chipinfo", "lineinfo <offset>";
    //   "request <offsets> consumer=<name> <flags>" for a granted request, the flags of each line
    //   as "<offset>:<flag>,<flag>,...=<value>" (output, input, open-drain, push-pull, pull-up);
    //   "config <flags>" the same way for GPIO_V2_LINE_SET_CONFIG;
    //   "set <offset>=<0|1> ..." and "get <offset> ..." for the value ioctls;
    //   "refused <what> <errno>"; "line ioctl failed <errno>" for the first of a failing run;
    //   "push-pull high on <offset>" whenever a wired line would be driven high actively;
    //   "bus <token>" for each event of the bus decoded from the wires (kit/bus_analyser.h).
    static std::vector<std::string> journal();
};

}  // namespace quorvane::testkit
