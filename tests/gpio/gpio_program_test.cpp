// quorvane_gpio as a user runs it, on a machine without a board: the faked GPIO chip
// (kit/fake_gpiochip.h), preloaded into the real program, wires two of its lines to the
// simulated adapter and thermometer. The program must read and drive the bus as it does on the
// simulated port, with open-drain lines and few ioctls; check the wiring and refuse with a hint;
// reject bad settings; and outlive an adapter that is unplugged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kit/cases.h"
#include "kit/fake_clock.h"
#include "kit/fake_gpiochip.h"
#include "kit/shown_line.h"
#include "kit/sim_run.h"
#include "kit/simulated_run.h"

namespace {

using namespace quorvane::testkit;
using quorvane::testkit::PrintTo;
using Fake = quorvane::testkit::FakeGpiochip;

constexpr int kCycles = 3;

Fake::Settings onBoard(const TempDir& dir, double celsius) {
    Fake::Settings s;
    s.celsius = celsius;
    s.journal = (dir.path() / "journal").string();
    return s;
}

// The bus's waits pass on the fake kernel's clock alone (kit/fake_clock.h).
ChildProcess startGpio(const TempDir& dir, const Fake::Settings& settings,
                       const std::string& gpioSettings, const std::vector<std::string>& arguments) {
    return startUnderClock(
        QUORVANE_GPIO_PROGRAM, dir.path(), arguments, QUORVANE_FAKE_GPIOCHIP_LIBRARY,
        {std::string(Fake::kEnvironmentVariable) + "=" + settings.text(),
         std::string(FakeClock::kEnvironmentVariable) + "=" + FakeClock::Settings{true}.text(),
         "QUORVANE_GPIO=" + gpioSettings});
}

std::vector<std::string> journalOf(const TempDir& dir) {
    return readLines(dir.path() / "journal");
}

bool isLineIoctl(const std::string& entry) {
    return entry.starts_with("set") || entry.starts_with("get") || entry.starts_with("config");
}

// The same layers on the simulated port. The parallel port powers up with SDA pulled low, and
// the first release of it reads as a stop condition; two GPIO lines are requested released.
SimulatedRun fromReleasedLines(double celsius) {
    SimulatedRun run = onTheSimulatedPort(celsius, kCycles);
    if (!run.bus.empty() && run.bus.front() == "P") {
        run.bus.erase(run.bus.begin());
    }
    return run;
}

struct SameBusCase {
    const char* name;
    double celsius;
    std::string gpioSettings;
    std::string device = Fake::Settings{}.device;
    std::string label = Fake::Settings{}.label;
};

class GpioSameAsSimulated : public ::testing::TestWithParam<SameBusCase> {};

TEST_P(GpioSameAsSimulated, ReadingsAndBusAreTheSimulatedPortsOnOpenDrainLinesWithFewIoctls) {
    const SameBusCase& c = GetParam();
    const SimulatedRun expected = fromReleasedLines(c.celsius);
    ASSERT_EQ(expected.values.size(), static_cast<std::size_t>(kCycles));

    TempDir dir;
    Fake::Settings settings = onBoard(dir, c.celsius);
    settings.device = c.device;
    settings.label = c.label;
    auto gpio = startGpio(dir, settings, c.gpioSettings, {});
    ASSERT_TRUE(waitForLines(gpio, kCycles)) << gpio.output();
    const std::vector<std::string> values = stoppedValues(gpio, kCycles);
    EXPECT_EQ(values, expected.values) << gpio.output();
    auto simulated =
        startSim(dir.path(), {}, {.settings = "temperature=" + std::to_string(c.celsius)});
    ASSERT_TRUE(waitForLines(simulated, kCycles)) << simulated.output();
    EXPECT_EQ(stoppedValues(simulated, kCycles), values) << simulated.output();

    const std::vector<std::string> journal = journalOf(dir);
    const auto request = std::find_if(journal.begin(), journal.end(), [](const std::string& e) {
        return e.starts_with("request");
    });
    ASSERT_NE(request, journal.end());
    EXPECT_EQ(*request,
              "request 2,3 consumer=quorvane 2:output,open-drain,pull-up=1 "
              "3:output,open-drain,pull-up=1");
    std::vector<std::string> bus;
    std::vector<std::size_t> conversions;  // where each start-conversion command went by
    std::size_t ioctls = 0;
    std::vector<std::size_t> ioctlsAtConversion;
    for (const std::string& entry : journal) {
        EXPECT_FALSE(entry.starts_with("push-pull") || entry.starts_with("refused")) << entry;
        if (entry.starts_with("config")) {
            // Only the acknowledge probe at access switches SDA to an input, and back.
            EXPECT_TRUE(entry.find(" 2:input,pull-up ") != std::string::npos ||
                        entry.find(" 2:output,open-drain,pull-up=1 ") != std::string::npos)
                << entry;
        }
        ioctls += isLineIoctl(entry) ? 1U : 0U;
        if (entry.starts_with("bus ")) {
            bus.push_back(entry.substr(4));
            if (bus.back() == "EE") {
                ioctlsAtConversion.push_back(ioctls);
            }
        }
    }
    // The wiring check first: SDA pulled and released under a high clock, SCL pulsed, and the
    // thermometer addressed once; then the measurements, exactly as on the simulated port.
    const auto joined = [](auto from, auto to) {
        std::string text;
        for (auto token = from; token != to; ++token) {
            text += (text.empty() ? "" : " ") + *token;
        }
        return text;
    };
    const std::size_t checked = std::min<std::size_t>(6, bus.size());
    EXPECT_EQ(joined(bus.begin(), bus.begin() + static_cast<long>(checked)), "S P S 9A a P");
    ASSERT_GE(bus.size(), checked + expected.bus.size());
    const std::size_t measured = expected.bus.size();
    EXPECT_EQ(joined(bus.begin() + static_cast<long>(checked),
                     bus.begin() + static_cast<long>(checked + measured)),
              joined(expected.bus.begin(), expected.bus.begin() + static_cast<long>(measured)));
    // One steady cycle: the line changes that reach the kernel and the samples, not the busy
    // wait's hundreds of thousands of reads.
    ASSERT_GE(ioctlsAtConversion.size(), 3U);
    const std::size_t perCycle = ioctlsAtConversion[2] - ioctlsAtConversion[1];
    EXPECT_GE(perCycle, 850U);
    EXPECT_LE(perCycle, 1050U);
}

INSTANTIATE_TEST_SUITE_P(
    Rooms, GpioSameAsSimulated,
    ::testing::Values(SameBusCase{"DefaultLines", 21.5, ""},
                      SameBusCase{"ChipByLabelLinesByName", -10.06,
                                  " chip = pinctrl-bcm2711 ; sda=GPIO9;scl=GPIO3;sda=GPIO2"},
                      // A USB adapter plugged in after many others: every chip in /dev is asked.
                      SameBusCase{"ChipNumbered70ByLabel", 21.5, "chip=cp2112", "/dev/gpiochip70",
                                  "cp2112"}),
    kByName);

struct RefusalCase {
    const char* name;
    std::string gpioSettings;
    int openErrno = 0;
    int heldLine = Fake::kNoLine;
    int noPullUp = Fake::kNoLine;
    int latchOnly = Fake::kNoLine;
    std::vector<std::string> arguments;
    int error = 0;
    std::vector<std::string> hintSays;
};

class GpioRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(GpioRefused, ThreeMessagesAHintStatus1AndTheLinesReleased) {
    const RefusalCase& c = GetParam();
    TempDir dir;
    Fake::Settings settings = onBoard(dir, 21.5);
    settings.openErrno = c.openErrno;
    settings.heldLine = c.heldLine;
    settings.noPullUp = c.noPullUp;
    settings.latchOnly = c.latchOnly;
    auto gpio = startGpio(dir, settings, c.gpioSettings, c.arguments);
    const auto end = gpio.wait();
    ASSERT_TRUE(end.has_value()) << "still running; output: " << gpio.output();
    EXPECT_TRUE(end->exited);
    EXPECT_EQ(end->exitCode, 1);

    const std::vector<std::string> messages = splitMessages(gpio.output());
    ASSERT_EQ(messages.size(), 4U) << gpio.output();
    EXPECT_EQ(messages[0], "\nerrno=" + std::to_string(c.error));
    EXPECT_EQ(messages[1], "\nError setting I/O Port access permissions");
    EXPECT_EQ(messages[2], "\nMake sure that you have root permissions");
    for (const std::string& part : c.hintSays) {
        EXPECT_NE(messages[3].find(part), std::string::npos) << messages[3] << "\nlacks " << part;
    }
    const std::vector<std::string> journal = journalOf(dir);
    ASSERT_FALSE(journal.empty());
    EXPECT_TRUE(c.openErrno != 0 || journal.back() == "close") << "the chip and lines are closed";
}

RefusalCase refusal(const char* name, int error, std::vector<std::string> hintSays) {
    RefusalCase c;
    c.name = name;
    c.error = error;
    c.hintSays = std::move(hintSays);
    return c;
}

std::vector<RefusalCase> refusals() {
    std::vector<RefusalCase> cases;
    cases.push_back(refusal("NoChipEvenForHelp", ENOENT,
                            {"No GPIO chip /dev/gpiochip0", "ls -l /dev/gpiochip*"}));
    cases.back().openErrno = ENOENT;
    cases.back().arguments = {"--help"};
    cases.push_back(refusal("NoChipWithThatLabel", ENOENT, {"labelled pinctrl-rp1", "gpiodetect"}));
    cases.back().gpioSettings = "chip=pinctrl-rp1";
    cases.push_back(refusal("NoRightToTheChip", EACCES, {"group gpio", "usermod -aG gpio"}));
    cases.back().openErrno = EACCES;
    // A chip that is there but fails: not called missing.
    for (const auto& [name, error] : {std::pair{"ChipFailsWithEio", EIO},
                                      {"ChipFailsWithEnxio", ENXIO},
                                      {"ChipGone", ENODEV}}) {
        cases.push_back(refusal(name, error,
                                {"/dev/gpiochip0 is there but does not open (" +
                                     std::string(std::strerror(error)) + ")",
                                 "USB adapter unplugged", "dmesg"}));
        cases.back().openErrno = error;
    }
    cases.push_back(
        refusal("LineHeldByI2c", EBUSY,
                {"line 2 is held by \"i2c\"", "run quorvane_i2c", "dtparam=i2c_arm=off"}));
    cases.back().heldLine = 2;
    cases.push_back(refusal("LineBeyondTheChip", EINVAL, {"Line 60 is beyond", "0 to 57"}));
    cases.back().gpioSettings = "sda=60";
    cases.push_back(refusal("SclWithoutPullUp", ENOLINK,
                            {"SCL (line 3 of /dev/gpiochip0) does not rise", "4.7 kOhm"}));
    cases.back().noPullUp = 3;
    cases.push_back(refusal("SdaWithoutPullUp", ENOLINK, {"SDA (line 2 of /dev/gpiochip0)"}));
    cases.back().noPullUp = 2;
    cases.push_back(refusal("SdaReadsOnlyItsLatch", EOPNOTSUPP,
                            {"SDA (line 2 of /dev/gpiochip0) reads back what is written"}));
    cases.back().latchOnly = 2;
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Refusals, GpioRefused, ::testing::ValuesIn(refusals()), kByName);

TEST(GpioSettings, ABadOneEndsTheProgramWithStatus2BeforeAnyLineIsRequested) {
    const struct {
        const char* settings;
        const char* message;
        bool chipOpened;
    } cases[] = {
        {"sda=2;pin=7", "unknown setting 'pin=7'", false},
        {"sda", "not name=value: 'sda'", false},
        {"scl=", "bad setting 'scl='", false},
        {"chip=", "bad setting 'chip='", false},
        {"sda=4;scl=4", "sda and scl are both line 4", false},
        {"sda=GPIO99", "bad setting 'sda=GPIO99': /dev/gpiochip0 has no line named GPIO99", true},
        {"sda=GPIO3", "sda and scl are both line 3 of /dev/gpiochip0", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        TempDir dir;
        ChildSpec launch{QUORVANE_GPIO_PROGRAM, {"-v"}};
        launch.environment = {
            std::string("LD_PRELOAD=") + QUORVANE_FAKE_GPIOCHIP_LIBRARY,
            std::string(Fake::kEnvironmentVariable) + "=" + onBoard(dir, 21.5).text(),
            std::string("QUORVANE_GPIO=") + c.settings};
        launch.keepErrors = true;
        ChildProcess gpio(launch);
        const auto end = gpio.wait();
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->status(), 2);
        EXPECT_EQ(gpio.output(), "") << "nothing printed, not even the banner";
        EXPECT_NE(gpio.errors().find(std::string("QUORVANE_GPIO: ") + c.message), std::string::npos)
            << gpio.errors();
        const std::vector<std::string> journal = journalOf(dir);
        EXPECT_EQ(!journal.empty(), c.chipOpened);
        EXPECT_TRUE(std::none_of(journal.begin(), journal.end(),
                                 [](const std::string& e) { return e.starts_with("request"); }));
    }
}

// A USB adapter unplugged in the second cycle: every line ioctl fails with ENODEV from then on.
TEST(GpioAdapterGone, ErrorLinesNeverAReadingAndNoSpinning) {
    TempDir dir;
    Fake::Settings settings = onBoard(dir, 21.5);
    settings.failFrom = 1'000;
    settings.failCount = Fake::kForever;
    settings.failErrno = ENODEV;
    auto gpio = startGpio(dir, settings, "", {});
    ASSERT_TRUE(gpio.readUntil([](const std::string& out) {
        const std::size_t error = out.find(kErrorLine);
        return error != std::string::npos && splitMessages(out.substr(error + 1)).size() >= 4;
    })) << gpio.output();
    const auto end = gpio.stop();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->signal, SIGINT) << "the program ended by itself";

    bool failed = false;
    std::int64_t lastError = 0;
    for (const std::string& message : splitMessages(gpio.output())) {
        const auto line = parseShownLine(message);
        ASSERT_TRUE(line.has_value()) << "[" << message << "]";
        if (line->error) {
            // Each failed cycle is followed by a pause before the next attempt.
            EXPECT_TRUE(!failed || line->seconds >= lastError + 1) << message;
            failed = true;
            lastError = line->seconds;
            continue;
        }
        EXPECT_FALSE(failed) << "a reading from an adapter that is gone: " << message;
        EXPECT_EQ(line->valueField, "21.5");
    }
    EXPECT_TRUE(failed);
}

}  // namespace
