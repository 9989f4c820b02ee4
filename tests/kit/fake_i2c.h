// The kernel's I2C adapters, faked for tests, so that quorvane_i2c can be tested on a machine
// without an adapter or a chip. Preloaded into a program (or into a package's installed program),
// or linked into a test, the library serves the I2C character devices (/dev/i2c-N: open, ioctl,
// close) of one adapter whose bus carries the simulator's byte-level chip, powered and at its
// address as on a board, the way the kernel's SMBus calls reach a chip. Every other /dev/i2c-N is
// missing; nothing reaches a real adapter. The chip's time follows the bus time of each call (at
// 100 kHz) and the program's sleeps.
//
// With `root` set, the adapter's sysfs (/sys/bus/i2c/...: its name; a driver bound to the chip,
// with its hwmon reading) is made in that directory and served from it, and so is /run/lock, where
// the program keeps its locks: several programs given the same root share that world, as on one
// machine. Without it they see the machine's own.
//
// A preloaded library takes its settings from the environment variable kEnvironmentVariable
// (Settings::text() makes its value); a test that links it calls restart(). Without settings it
// is a Raspberry Pi's bus 1 with a thermometer at every address of the family, so that programs
// preloaded with it as they are installed (a package's services, one a chip) each find theirs
// at the address they are given: each process has its own simulated chip.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kit/fake_settings.h"
#include "sim/simulation.h"

namespace quorvane::testkit {

class FakeI2c {
  public:
    static constexpr const char* kEnvironmentVariable = "QUORVANE_FAKE_I2C";
    static constexpr std::uint64_t kForever = std::numeric_limits<std::uint64_t>::max();
    // The four SMBus calls the thermometer needs, and the plain I2C transfers besides, as most
    // adapters have them.
    static constexpr unsigned long kFullFunctions = 0x0EFF0009;

    struct Settings {
        std::string root;                             // where sysfs and /run/lock are served from
        std::string name = "bcm2835 (i2c@7e804000)";  // the adapter's name in sysfs
        int bus = 1;                                  // its number: /dev/i2c-1
        // Where the thermometer answers; 0: at whichever address of its family (0x48 to 0x4f) a
        // program binds its file to.
        int chipAddress = 0;
        bool chipPresent = true;  // otherwise the calls fail with ENXIO, as for an empty address
        bool phantom = false;     // every call answered, every register all ones (as a CH341 does)
        int openErrno = 0;        // open fails with this (ENOENT: no i2c-dev; EACCES: no right)
        unsigned long functions = kFullFunctions;  // what I2C_FUNCS says
        std::string driver;  // a kernel driver bound to the chip (ds1621): I2C_SLAVE gets EBUSY
        std::optional<double> celsius;  // a fixed temperature; otherwise the room's drift
        // From SMBus call number `unplugAt` the adapter is unplugged: every call fails with ENODEV
        // while the program holds its file; once the file is closed the adapter comes back as the
        // next bus number, under the same name.
        std::uint64_t unplugAt = 0;
        bool realSleep = true;  // sleep passes real time too, not only the chip's
        std::string journal;    // a file that receives the journal as it grows

        // Each setting with its name in the environment variable, for text() and parse().
        template <typename Visit>
        static void each(Visit visit) {
            visit("root", &Settings::root);
            visit("name", &Settings::name);
            visit("bus", &Settings::bus);
            visit("chip-address", &Settings::chipAddress);
            visit("chip-present", &Settings::chipPresent);
            visit("phantom", &Settings::phantom);
            visit("open-errno", &Settings::openErrno);
            visit("functions", &Settings::functions);
            visit("driver", &Settings::driver);
            visit("celsius", &Settings::celsius);
            visit("unplug-at", &Settings::unplugAt);
            visit("real-sleep", &Settings::realSleep);
            visit("journal", &Settings::journal);
        }

        // The value for the environment variable (kit/fake_settings.h), and back.
        std::string text() const { return fake_settings::text(*this); }
        static Settings parse(const std::string& text) {
            return fake_settings::parse<Settings>(text, "fake i2c");
        }
    };

    // Starts the fake again with these settings: a fresh chip, no file open, an empty journal.
    static void restart(const Settings& settings);

    // The simulated chip behind the adapter.
    static sim::Simulation& simulation();

    // What the fake saw, in order, one entry a line:
    //   "open /dev/i2c-N", "close", "refused open PATH <errno>";
    //   "funcs", "slave 0x4d", "refused slave 0x4d <errno>";
    //   each SMBus call: "read-byte-data 0xac = 0x81", "write-byte-data 0xac 0x01",
    //   "write-byte 0xee", "read-word-data 0xaa = 0x0019", or, failed, "... failed <errno>";
    //   "unknown request 0x...." for any other (I2C_SLAVE_FORCE, I2C_RDWR, I2C_TIMEOUT...);
    //   "unplugged", "plugged in again as /dev/i2c-N".
    static std::vector<std::string> journal();

    // ioctls on the adapter's file since the start.
    static std::uint64_t ioctls();
};

}  // namespace quorvane::testkit
