// The kernel's side of the parallel port, faked for tests, so that quorvane_ppdev and the refusals
// of quorvane_unix can be tested on a machine without a port. Preloaded into a program, or
// linked into a test, the library serves open, fstat, ioctl and close of the ppdev device from
// the simulated port with the thermometer behind it, as ppdev and parport_pc answer them, serves
// the file in /proc that names the device holding the port, and refuses ioperm. Nothing ever
// reaches a real port: the device path is served whether or not it exists, and ioperm is never
// granted.
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

class FakeParport {
  public:
    static constexpr const char* kEnvironmentVariable = "QUORVANE_FAKE_PARPORT";
    static constexpr std::uint64_t kForever = std::numeric_limits<std::uint64_t>::max();

    struct Settings {
        std::string device = "/dev/parport0";
        int openErrno = 0;   // open fails with this (ENOENT: no device, EACCES: not in group lp)
        int claimErrno = 0;  // PPCLAIM fails with this (ENXIO: another driver holds it)
        // Another program holds the port this long: PPCLAIM waits for it, as the kernel's claim
        // does, until a signal ends the wait (EINTR). -1: it never lets go.
        int heldMillis = 0;
        // What /proc/sys/dev/parport/parport0/devices/active says: empty for what the kernel
        // says (ppdev0 while another program holds the port, none otherwise), "-" for no such
        // file (no /proc). Anything else stands for a holder that came or went in between.
        std::string active;
        // A bidirectional port that another program left turned around (control bit 0x20 set).
        bool leftReverse = false;
        std::optional<double> celsius;  // a fixed temperature; otherwise the room's drift
        // Register ioctls number `failFrom` (1 = the first) and the `failCount - 1` after it
        // fail with `failErrno`, as when the port goes away; only those of `failRequest` when
        // it is set.
        std::uint64_t failFrom = 0;
        std::uint64_t failCount = 0;
        int failErrno = 0;
        unsigned long failRequest = 0;
        int iopermErrno = 0;    // what ioperm fails with (EPERM when 0)
        bool realSleep = true;  // sleep passes real time too, not only the chip's
        std::string journal;    // a file that receives the journal as it grows

        // Each setting with its name in the environment variable, for text() and parse().
        template <typename Visit>
        static void each(Visit visit) {
            visit("device", &Settings::device);
            visit("open-errno", &Settings::openErrno);
            visit("claim-errno", &Settings::claimErrno);
            visit("held-ms", &Settings::heldMillis);
            visit("active", &Settings::active);
            visit("left-reverse", &Settings::leftReverse);
            visit("celsius", &Settings::celsius);
            visit("fail-from", &Settings::failFrom);
            visit("fail-count", &Settings::failCount);
            visit("fail-errno", &Settings::failErrno);
            visit("fail-request", &Settings::failRequest);
            visit("ioperm-errno", &Settings::iopermErrno);
            visit("real-sleep", &Settings::realSleep);
            visit("journal", &Settings::journal);
        }

        // The value for the environment variable (kit/fake_settings.h), and back.
        std::string text() const { return fake_settings::text(*this); }
        static Settings parse(const std::string& text) {
            return fake_settings::parse<Settings>(text, "fake parport");
        }
    };

    // Starts the fake again, as a machine just booted with these settings: the simulated port at
    // power-on, a factory-fresh chip, no device open, an empty journal.
    static void restart(const Settings& settings);

    // The simulated port and thermometer behind the device.
    static sim::Simulation& simulation();

    // What the fake saw, in order, one entry a line:
    //   "open", "close", "ioperm", "active <what it said>" for each open of the /proc file,
    //   and each driver request by its name: "PPCLAIM", "PPRELEASE",
    //   "PPEXCL", "PPSETMODE <mode>", "PPDATADIR <0|1>";
    //   the first register requests, with their values: "PPRCONTROL 0x0C", "PPWCONTROL 0x04",
    //   ... (kJournalledRegisterRequests of them);
    //   "refused <request> <errno>" for every request refused as the kernel would refuse it
    //   (the port not claimed, a failure the settings asked for), "unknown request 0x....";
    //   "turned around by PPWCONTROL 0x.." for a control write with bit 0x20;
    //   "control 0x.." for each control value the claim writes to the port;
    //   "bus <token>" for each event of the bus decoded from the wires (kit/bus_analyser.h).
    static std::vector<std::string> journal();
    static constexpr int kJournalledRegisterRequests = 12;
};

}  // namespace quorvane::testkit
