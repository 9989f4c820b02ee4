// The ppdev port seam under the real layers, on the faked kernel linked into this test: what it
// asks the driver for, how the registers map onto the ioctls, and what it does when the driver
// refuses or fails.
#include <gtest/gtest.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "kit/fake_clock.h"
#include "kit/fake_parport.h"
#include "thermometer/thermometer.h"

namespace {

using Fake = quorvane::testkit::FakeParport;
using quorvane::testkit::FakeClock;

constexpr std::uint16_t kBase = 0x378;

Fake::Settings onDevice() {
    Fake::Settings s;
    s.device = QUORVANE_PPDEV_DEVICE;
    s.celsius = 21.5;
    s.realSleep = false;
    return s;
}

bool journalHas(const std::string& prefix) {
    const std::vector<std::string> j = Fake::journal();
    return std::any_of(j.begin(), j.end(),
                       [&prefix](const std::string& e) { return e.rfind(prefix, 0) == 0; });
}

class PpdevSeam : public ::testing::Test {
  protected:
    static void grant(const Fake::Settings& settings) {
        Fake::restart(settings);
        ASSERT_EQ(RequestPortAccess(kBase, 3, 1), 0);
        port = kBase;
    }
    void TearDown() override { RequestPortAccess(kBase, 3, 0); }
};

TEST_F(PpdevSeam, ClaimsKeepsCompatibilityModeTurnsForwardAndMapsTheRegisters) {
    Fake::Settings s = onDevice();
    s.leftReverse = true;
    grant(s);
    EXPECT_EQ(Fake::journal(),
              (std::vector<std::string>{"open", "active none", "PPCLAIM", "control 0x1C",
                                        "PPSETMODE " + std::to_string(IEEE1284_MODE_COMPAT),
                                        "PPDATADIR 0"}));
    auto& sim = Fake::simulation();
    EXPECT_EQ(sim.controlLatch(), 0x1C) << "the kernel's claim: interrupt enable, Init, Select-In";
    Output(kBase, 0x97);
    EXPECT_TRUE(sim.lineState().vdd) << "the data lines drive the adapter again";
    EXPECT_EQ(Input(kBase), 0x97);
    // ppdev's copy of the four outputs: Init and Select-In as Linux leaves them; Select-In
    // holds SDA low, which status bit 0x10 shows among the unused inputs as they float.
    EXPECT_EQ(Input(kBase + 2), 0x0C);
    EXPECT_EQ(Input(kBase + 1), 0x7F);
    const std::size_t entries = Fake::journal().size();
    Output(kBase + 1, 0x00);
    EXPECT_EQ(Fake::journal().size(), entries) << "a status write reaches no driver";
}

TEST_F(PpdevSeam, NoControlWriteTurnsTheDataLinesAround) {
    grant(onDevice());
    auto& sim = Fake::simulation();
    Output(kBase, 0x97);
    for (const int value : {0x20, 0x24, 0xFF, 0xD7, 0x08, 0x00}) {
        SCOPED_TRACE(value);
        Output(kBase + 2, static_cast<std::uint8_t>(value));
        EXPECT_EQ(sim.controlLatch(), 0x10 | (value & 0x0F)) << "the interrupt stays enabled";
        EXPECT_TRUE(sim.lineState().vdd);
    }
    EXPECT_FALSE(journalHas("turned around"));
}

// A register ioctl that fails once, or a burst of them, fails at most the cycle it hits. A failed
// control read gives 0xFF, whose bit 0x20 must not reach the port with the next write; a failed
// write is not taken for done by the copies of the registers.
TEST_F(PpdevSeam, TransientFailuresFailAtMostTheCycleTheyHit) {
    const struct {
        const char* name;
        unsigned long request;  // 0: any register request
        std::uint64_t from;
        std::uint64_t count;
        int error;
    } cases[] = {
        {"the start-up's control read", PPRCONTROL, 1, 1, EIO},
        {"a control write in a start condition", PPWCONTROL, 2, 1, EIO},
        {"the data line's sample", PPRSTATUS, 3, 1, EIO},
        // Samples of the bits the chip sends: a failed read must not pass for a bit.
        {"a configuration bit's sample", PPRSTATUS, 42, 1, EIO},
        {"a temperature bit's sample", PPRSTATUS, 67, 1, EIO},
        {"a count bit's sample", PPRSTATUS, 78, 1, EIO},
        {"the first data read", PPRDATA, 1, 1, EIO},
        {"a clock change's write", PPWDATA, 12, 1, EIO},
        {"twenty accesses gone in the second cycle", 0, 1'100, 20, ENODEV},
    };
    // The cycles' waits pass on the fake clock alone.
    FakeClock::restart({.virtualTime = true});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fake::Settings s = onDevice();
        s.failRequest = c.request;
        s.failFrom = c.from;
        s.failCount = c.count;
        s.failErrno = c.error;
        grant(s);
        driveDataLines();  // as the program starts
        std::vector<int> tenths;
        std::vector<int> status;
        for (int cycle = 0; cycle < 4; ++cycle) {
            std::int16_t t = 0;
            status.push_back(Temperature(kBase, &t));
            tenths.push_back(t);
        }
        EXPECT_TRUE(journalHas("port gone at")) << "the failure was made";
        EXPECT_FALSE(journalHas("turned around"));
        int failed = 0;
        for (std::size_t i = 0; i < status.size(); ++i) {
            if (status[i] != 0) {
                ++failed;
                EXPECT_EQ(tenths[i], 0) << "cycle " << i;
            } else {
                EXPECT_EQ(tenths[i], 215) << "cycle " << i;
            }
        }
        EXPECT_LE(failed, 1);
        EXPECT_EQ(status.back(), 0);
        TearDown();
    }
    FakeClock::restart({});
}

TEST_F(PpdevSeam, APortGoneForGoodReadsAsAnUndrivenBusAndTakesNoWrite) {
    Fake::Settings s = onDevice();
    s.failFrom = 1;
    s.failCount = Fake::kForever;
    s.failErrno = ENODEV;
    grant(s);
    for (const int offset : {0, 1, 2}) {
        EXPECT_EQ(Input(static_cast<std::uint16_t>(kBase + offset)), 0xFF) << offset;
    }
    Output(kBase, 0x97);
    EXPECT_FALSE(Fake::simulation().lineState().vdd);
    std::int16_t tenths = 99;
    EXPECT_NE(Temperature(kBase, &tenths), 0);
    EXPECT_EQ(tenths, 0);
}

TEST(PpdevAccess, RefusalsCarryTheErrnoAndAHintAndHeldPortsAreRefusedWithoutClaiming) {
    const std::string device = QUORVANE_PPDEV_DEVICE;
    const std::string held = "\nAnother program holds " + device + ": stop it, then start again";
    struct Case {
        const char* name;
        Fake::Settings settings;
        int error;  // 0: granted
        std::string hint;
        double seconds;  // how long the request takes, at least
        double within;   // and at most
        bool claims;     // whether it asks the kernel for the port (which may block others)
    };
    std::vector<Case> cases{
        {"no device", onDevice(), ENOENT,
         "\nNo " + device +
             ": load the modules (modprobe -a ppdev parport_pc), or there is no port",
         0.0, 1.0, false},
        {"not in group lp", onDevice(), EACCES,
         "\nNo right to " + device +
             ": add the user to the group lp (usermod -aG lp USER), log in again",
         0.0, 1.0, false},
        {"no ppdev driver", onDevice(), ENXIO,
         "\nNo driver behind " + device + ": load it (modprobe ppdev)", 0.0, 1.0, false},
        {"held by an exclusive driver", onDevice(), ENXIO,
         "\nAnother driver holds " + device + " for itself, or the port is gone: see dmesg", 0.0,
         1.0, true},
        // That it is refused without the claim's wait is the journal's to show (no PPCLAIM):
        // the time allows for a busy machine.
        {"held by another program", onDevice(), EBUSY, held, 0.0, 1.0, false},
        {"taken in the instant after the look", onDevice(), EBUSY, held, 0.2, 1.0, true},
        {"held, and no /proc to say so", onDevice(), EBUSY, held, 0.2, 1.0, true},
        {"let go in the instant after the look", onDevice(), 0, "", 0.1, 1.0, true},
        {"free as the kernel says", onDevice(), 0, "", 0.0, 1.0, true},
    };
    cases[0].settings.openErrno = ENOENT;
    cases[1].settings.openErrno = EACCES;
    cases[2].settings.openErrno = ENXIO;
    cases[3].settings.claimErrno = ENXIO;
    cases[4].settings.heldMillis = -1;
    cases[5].settings.heldMillis = -1;
    cases[5].settings.active = "none";
    cases[6].settings.heldMillis = -1;
    cases[6].settings.active = "-";
    cases[7].settings.heldMillis = 100;
    cases[7].settings.active = "none";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fake::restart(c.settings);
        errno = 0;
        const auto start = std::chrono::steady_clock::now();
        const int result = RequestPortAccess(kBase, 3, 1);
        const int error = errno;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took.count(), c.seconds);
        EXPECT_LT(took.count(), c.within) << "a held port is not waited for";
        EXPECT_EQ(journalHas("PPCLAIM"), c.claims);
        if (c.error == 0) {
            EXPECT_EQ(result, 0);
            RequestPortAccess(kBase, 3, 0);
            continue;
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(AccessHint(error), c.hint);
        const std::vector<std::string> j = Fake::journal();
        if (c.settings.openErrno == 0) {
            EXPECT_EQ(j.back(), "close") << "a refused claim closes the device";
        }
    }
}

TEST(PpdevAccessDeathTest, AnAddressOutsideTheGrantedRegistersEndsTheProgram) {
    Fake::restart(onDevice());
    EXPECT_DEATH(Input(kBase), "0x0378 used before the port was claimed");
    ASSERT_EQ(RequestPortAccess(kBase, 3, 1), 0);
    EXPECT_DEATH(Input(kBase + 3), "0x037B is outside the granted registers 0x0378 to 0x037A");
    EXPECT_DEATH(Output(kBase - 1, 0), "0x0377 is outside");
    RequestPortAccess(kBase, 3, 0);
}

}  // namespace
