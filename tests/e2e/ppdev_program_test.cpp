// quorvane_ppdev as a user runs it, on a machine without a parallel port: the faked kernel
// (kit/fake_parport.h), preloaded into the real program, serves the ppdev device from the
// simulated port and thermometer. The program must read and drive the bus exactly as it does on
// the simulated port, refuse as the kernel refuses with a hint, and outlive a port that fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "kit/cases.h"
#include "kit/fake_clock.h"
#include "kit/fake_parport.h"
#include "kit/shown_line.h"
#include "kit/sim_run.h"
#include "kit/simulated_run.h"

namespace {

using namespace quorvane::testkit;
using quorvane::testkit::PrintTo;
using Fake = quorvane::testkit::FakeParport;

constexpr int kCycles = 3;

Fake::Settings onDevice(const TempDir& dir, double celsius) {
    Fake::Settings s;
    s.device = QUORVANE_PPDEV_DEVICE;
    s.celsius = celsius;
    s.journal = (dir.path() / "journal").string();
    return s;
}

// The bus's waits pass on the fake kernel's clock alone (kit/fake_clock.h).
ChildProcess startPpdev(const TempDir& dir, const Fake::Settings& settings,
                        const std::vector<std::string>& arguments) {
    return startUnderClock(
        QUORVANE_PPDEV_PROGRAM, dir.path(), arguments, QUORVANE_FAKE_PARPORT_LIBRARY,
        {std::string(Fake::kEnvironmentVariable) + "=" + settings.text(),
         std::string(FakeClock::kEnvironmentVariable) + "=" + FakeClock::Settings{true}.text()});
}

std::vector<std::string> journalOf(const TempDir& dir) {
    return readLines(dir.path() / "journal");
}

struct SameBusCase {
    const char* name;
    double celsius;
    bool leftReverse;
};

class PpdevSameAsSimulated : public ::testing::TestWithParam<SameBusCase> {};

TEST_P(PpdevSameAsSimulated, ReadingsAndBusAreTheSimulatedPortsAndNoWriteTurnsThePortAround) {
    const SameBusCase& c = GetParam();
    const SimulatedRun expected = onTheSimulatedPort(c.celsius, kCycles);
    ASSERT_EQ(expected.values.size(), static_cast<std::size_t>(kCycles));

    TempDir dir;
    Fake::Settings settings = onDevice(dir, c.celsius);
    settings.leftReverse = c.leftReverse;
    auto ppdev = startPpdev(dir, settings, {});
    ASSERT_TRUE(waitForLines(ppdev, kCycles)) << ppdev.output();
    const std::vector<std::string> values = stoppedValues(ppdev, kCycles);
    EXPECT_EQ(values, expected.values) << ppdev.output();

    // And quorvane_sim itself, in a room at the same temperature, shows the same values.
    auto simulated =
        startSim(dir.path(), {}, {.settings = "temperature=" + std::to_string(c.celsius)});
    ASSERT_TRUE(waitForLines(simulated, kCycles)) << simulated.output();
    EXPECT_EQ(stoppedValues(simulated, kCycles), values) << simulated.output();

    const std::vector<std::string> journal = journalOf(dir);
    std::vector<std::string> bus;
    for (const std::string& entry : journal) {
        if (entry.starts_with("bus ")) {
            bus.push_back(entry.substr(4));
        }
        EXPECT_FALSE(entry.starts_with("turned around") || entry.starts_with("refused") ||
                     entry.starts_with("unknown"))
            << entry;
    }
    ASSERT_GE(bus.size(), expected.bus.size());
    bus.resize(expected.bus.size());
    EXPECT_EQ(bus, expected.bus);
    // Asked the kernel whether the port is free, claimed (the kernel writes its own control
    // value), in compatibility mode, turned forward; then the program's own start-up reads the
    // control register once (the direction bit is clear, so nothing is written), and the data
    // register once: later reads of both are answered from the port's copies.
    ASSERT_GE(journal.size(), 8U);
    EXPECT_EQ(
        std::vector<std::string>(journal.begin(), journal.begin() + 8),
        (std::vector<std::string>{"open", "active none", "PPCLAIM", "control 0x1C", "PPSETMODE 256",
                                  "PPDATADIR 0", "PPRCONTROL 0x0C", "PPRDATA 0x00"}));
}

INSTANTIATE_TEST_SUITE_P(Rooms, PpdevSameAsSimulated,
                         ::testing::Values(SameBusCase{"PortLeftTurnedAround", 21.5, true},
                                           SameBusCase{"BelowZero", -10.06, false}),
                         kByName);

struct RefusalCase {
    const char* name;
    int openErrno;
    int claimErrno;
    int heldMillis;
    std::vector<std::string> arguments;
    int error;
    const char* hintSays;
    double seconds;  // it takes at least this long
    bool claims;     // whether it asks the kernel for the port (which may block its holder)
};

class PpdevRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(PpdevRefused, ThreeMessagesAHintAndStatus1EvenForHelp) {
    const RefusalCase& c = GetParam();
    TempDir dir;
    Fake::Settings settings = onDevice(dir, 21.5);
    settings.openErrno = c.openErrno;
    settings.claimErrno = c.claimErrno;
    settings.heldMillis = c.heldMillis;
    const auto start = std::chrono::steady_clock::now();
    auto ppdev = startPpdev(dir, settings, c.arguments);
    const auto end = ppdev.wait();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(end.has_value()) << "still waiting; output: " << ppdev.output();
    EXPECT_TRUE(end->exited);
    EXPECT_EQ(end->exitCode, 1);
    EXPECT_GE(took.count(), c.seconds);
    // A program that waited for the holder would wait for ever (the fake holds the port for
    // good); the bound leaves room for a busy machine starting the program.
    EXPECT_LT(took.count(), c.seconds + 5.0) << "refused without waiting";

    const std::vector<std::string> messages = splitMessages(ppdev.output());
    ASSERT_EQ(messages.size(), 4U) << ppdev.output();
    EXPECT_EQ(messages[0], "\nerrno=" + std::to_string(c.error));
    EXPECT_EQ(messages[1], "\nError setting I/O Port access permissions");
    EXPECT_EQ(messages[2], "\nMake sure that you have root permissions");
    EXPECT_NE(messages[3].find(c.hintSays), std::string::npos) << messages[3];
    const std::vector<std::string> journal = journalOf(dir);
    ASSERT_FALSE(journal.empty());
    EXPECT_TRUE(c.openErrno != 0 || journal.back() == "close") << "the device is closed again";
    EXPECT_EQ(std::find(journal.begin(), journal.end(), "PPCLAIM") != journal.end(), c.claims);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PpdevRefused,
    ::testing::Values(
        RefusalCase{"NoDevice", ENOENT, 0, 0, {"--help"}, ENOENT, "modprobe", 0.0, false},
        RefusalCase{"NotInGroupLp", EACCES, 0, 0, {"-v"}, EACCES, "group lp", 0.0, false},
        RefusalCase{
            "HeldByAnotherProgram", 0, 0, -1, {}, EBUSY, "Another program holds", 0.0, false},
        RefusalCase{
            "HeldByAnExclusiveDriver", 0, ENXIO, 0, {}, ENXIO, "Another driver", 0.0, true}),
    kByName);

struct FailureCase {
    const char* name;
    std::uint64_t count;
    int error;
    bool recovers;
};

class PpdevPortFails : public ::testing::TestWithParam<FailureCase> {};

// The port fails in the second cycle, for a hundred register accesses (a tenth of a second of
// the bus) or for good.
TEST_P(PpdevPortFails, ErrorLinesNeverAReadingAndMeasuringGoesOn) {
    const FailureCase& c = GetParam();
    TempDir dir;
    Fake::Settings settings = onDevice(dir, 21.5);
    settings.failFrom = 1'100;
    settings.failCount = c.count;
    settings.failErrno = c.error;
    auto ppdev = startPpdev(dir, settings, {});
    // After the first error line: readings again, or only more error lines.
    const auto enough = [&c](const std::string& out) {
        const std::size_t error = out.find(kErrorLine);
        if (error == std::string::npos) {
            return false;
        }
        const std::string after = out.substr(error + 1);
        return c.recovers ? measurementLines(after).size() >= 2 : splitMessages(after).size() >= 4;
    };
    ASSERT_TRUE(ppdev.readUntil(enough)) << ppdev.output();
    const auto end = ppdev.stop();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->signal, SIGINT) << "the program ended by itself";

    bool failedOnce = false;
    for (const std::string& message : splitMessages(ppdev.output())) {
        const auto line = parseShownLine(message);
        ASSERT_TRUE(line.has_value()) << "[" << message << "]";
        if (line->error) {
            failedOnce = true;
            continue;
        }
        EXPECT_EQ(line->valueField, "21.5") << "a reading is the thermometer's";
        EXPECT_TRUE(c.recovers || !failedOnce) << "a reading from a port that is gone";
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, PpdevPortFails,
                         ::testing::Values(FailureCase{"ForAHundredAccesses", 100, EIO, true},
                                           FailureCase{"GoneForGood", Fake::kForever, ENODEV,
                                                       false}),
                         kByName);

}  // namespace
