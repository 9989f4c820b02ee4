// quorvane_i2c as a user runs it, on a machine without an adapter: the faked I2C adapter
// (kit/fake_i2c.h), preloaded into the real program, carries the simulator's byte-level chip. The
// program must show what quorvane_sim shows in the same room through the cycle's SMBus calls
// alone; refuse at the start with a hint; reject bad settings before it opens anything; never
// show a reading from a bus that fails or from a phantom chip; find an unplugged adapter again by
// its name; and keep a second program off a chip that the first reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "kit/cases.h"
#include "kit/fake_i2c.h"
#include "kit/shown_line.h"
#include "kit/sim_run.h"
#include "kit/simulated_run.h"

namespace {

using namespace quorvane::testkit;
using quorvane::testkit::PrintTo;
using Fake = quorvane::testkit::FakeI2c;

Fake::Settings onBus(const TempDir& dir) {
    Fake::Settings s;
    s.celsius = 21.5;
    s.root = (dir.path() / "world").string();
    s.journal = (dir.path() / "journal").string();
    return s;
}

ChildProcess startI2c(const TempDir& dir, const Fake::Settings& fake, const std::string& settings,
                      const std::vector<std::string>& arguments = {}) {
    return startUnderClock(
        QUORVANE_I2C_PROGRAM, dir.path(), arguments, QUORVANE_FAKE_I2C_LIBRARY,
        {std::string(Fake::kEnvironmentVariable) + "=" + fake.text(), "QUORVANE_I2C=" + settings});
}

// What the adapter saw, without the fake kernel's count of each cycle's clock.
std::vector<std::string> journalOf(const TempDir& dir) {
    std::vector<std::string> journal = readLines(dir.path() / "journal");
    std::erase_if(journal, [](const std::string& entry) { return entry.starts_with("cycle "); });
    return journal;
}

bool journalHas(const std::vector<std::string>& journal, const std::string& entry) {
    return std::find(journal.begin(), journal.end(), entry) != journal.end();
}

// The SMBus calls of the journal, without what they read.
std::vector<std::string> callsOf(const std::vector<std::string>& journal) {
    std::vector<std::string> calls;
    for (const std::string& entry : journal) {
        if (entry.starts_with("read-") || entry.starts_with("write-")) {
            calls.push_back(entry.substr(0, entry.find(" =")));
        }
    }
    return calls;
}

// The hint of a program that was refused with `error`: its fourth and last message, after the
// three that every refusal prints.
std::string refusalHint(const std::string& output, int error) {
    const std::vector<std::string> messages = splitMessages(output);
    EXPECT_EQ(messages.size(), 4U) << output;
    if (messages.size() != 4) {
        return {};
    }
    EXPECT_EQ(messages[0], "\nerrno=" + std::to_string(error));
    EXPECT_EQ(messages[1], "\nError setting I/O Port access permissions");
    EXPECT_EQ(messages[2], "\nMake sure that you have root permissions");
    return messages[3];
}

struct SameRoomCase {
    const char* name;
    double celsius;
    std::string adapterName;
    int bus;
    int chipAddress;
    std::string settings;
};

class I2cSameAsSimulated : public ::testing::TestWithParam<SameRoomCase> {};

TEST_P(I2cSameAsSimulated, ReadingsOfQuorvaneSimThroughTheCyclesSmbusCallsAlone) {
    const SameRoomCase& c = GetParam();
    constexpr int kCycles = 3;
    TempDir dir;
    Fake::Settings fake = onBus(dir);
    fake.celsius = c.celsius;
    fake.name = c.adapterName.empty() ? fake.name : c.adapterName;
    fake.bus = c.bus;
    fake.chipAddress = c.chipAddress;
    auto i2c = startI2c(dir, fake, c.settings);
    ASSERT_TRUE(waitForLines(i2c, kCycles)) << i2c.output();
    const std::vector<std::string> values = stoppedValues(i2c, kCycles);
    auto simulated =
        startSim(dir.path(), {}, {.settings = "temperature=" + std::to_string(c.celsius)});
    ASSERT_TRUE(waitForLines(simulated, kCycles)) << simulated.output();
    EXPECT_EQ(values, stoppedValues(simulated, kCycles));

    const std::vector<std::string> journal = journalOf(dir);
    char slave[16];
    std::snprintf(slave, sizeof slave, "slave 0x%02x", static_cast<unsigned>(c.chipAddress));
    ASSERT_GE(journal.size(), 3U);
    EXPECT_EQ(std::vector<std::string>(journal.begin(), journal.begin() + 3),
              (std::vector<std::string>{"open /dev/i2c-" + std::to_string(c.bus), "funcs", slave}));
    for (const std::string& entry : journal) {
        EXPECT_FALSE(entry.starts_with("forbidden") || entry.starts_with("unknown") ||
                     entry.find("failed") != std::string::npos)
            << entry;
    }
    // A factory-fresh chip: the first cycle stores the one-shot bit, the second is the steady one.
    const std::vector<std::string> cycle = {"write-byte 0xee",     "read-byte-data 0xac",
                                            "read-word-data 0xaa", "read-byte-data 0xa8",
                                            "read-byte-data 0xa9", "read-byte-data 0xac"};
    std::vector<std::string> expected = {"read-byte-data 0xac", "write-byte-data 0xac 0x01"};
    expected.insert(expected.end(), cycle.begin(), cycle.end());
    expected.emplace_back("read-byte-data 0xac");
    expected.insert(expected.end(), cycle.begin(), cycle.end());
    const std::vector<std::string> calls = callsOf(journal);
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 15), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rooms, I2cSameAsSimulated,
    ::testing::Values(SameRoomCase{"Defaults", 21.5, "", 1, 0x4D, ""},
                      SameRoomCase{"AdapterByNameChipAt0x48", -10.06, "MCP2221 usb-i2c bridge", 7,
                                   0x48, " bus = MCP2221 usb-i2c bridge ;address=0x48"}),
    kByName);

struct RefusalCase {
    const char* name;
    std::string settings;
    int openErrno = 0;
    unsigned long functions = Fake::kFullFunctions;
    std::string driver;
    std::vector<std::string> arguments;
    int error = 0;
    std::vector<std::string> hintSays;
};

class I2cRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(I2cRefused, ThreeMessagesAHintStatus1AndNothingLeftOpen) {
    const RefusalCase& c = GetParam();
    TempDir dir;
    Fake::Settings fake = onBus(dir);
    fake.openErrno = c.openErrno;
    fake.functions = c.functions;
    fake.driver = c.driver;
    auto i2c = startI2c(dir, fake, c.settings, c.arguments);
    const auto end = i2c.wait();
    ASSERT_TRUE(end.has_value()) << "still running; output: " << i2c.output();
    EXPECT_EQ(end->status(), 1);
    const std::string hint = refusalHint(i2c.output(), c.error);
    for (const std::string& part : c.hintSays) {
        EXPECT_NE(hint.find(part), std::string::npos) << hint << "\nlacks " << part;
    }
    const std::vector<std::string> journal = journalOf(dir);
    const bool opened = std::any_of(journal.begin(), journal.end(),
                                    [](const std::string& e) { return e.starts_with("open"); });
    EXPECT_TRUE(!opened || journal.back() == "close");
}

RefusalCase refusal(const char* name, int error, std::vector<std::string> hintSays) {
    RefusalCase c;
    c.name = name;
    c.error = error;
    c.hintSays = std::move(hintSays);
    return c;
}

std::vector<RefusalCase> refusals() {
    const std::string adapter = "i2c-1 \"bcm2835 (i2c@7e804000)\"";
    std::vector<RefusalCase> cases;
    cases.push_back(refusal("NoDeviceEvenForHelp", ENOENT,
                            {"No /dev/i2c-1", "modprobe i2c-dev", "dtparam=i2c_arm=on", adapter}));
    cases.back().openErrno = ENOENT;
    cases.back().arguments = {"--help"};
    cases.push_back(refusal("NoRight", EACCES, {"No right to /dev/i2c-1", "group i2c"}));
    cases.back().openErrno = EACCES;
    cases.push_back(
        refusal("NoAdapterOfThatName", ENODEV,
                {"No I2C adapter is named \"CP2112 SMBus Bridge on hidraw0\"", adapter}));
    cases.back().settings = "bus=CP2112 SMBus Bridge on hidraw0";
    cases.push_back(refusal("HeldByTheKernelsDriver", EBUSY,
                            {"driver ds1621 holds the chip at 0x4d on /dev/i2c-1",
                             "/sys/bus/i2c/devices/1-004d/hwmon/hwmon3/temp1_input",
                             "echo 1-004d > /sys/bus/i2c/drivers/ds1621/unbind", "dtoverlay"}));
    cases.back().driver = "ds1621";
    cases.push_back(refusal("WithoutWordReadsOrSendByte", EOPNOTSUPP,
                            {"(\"bcm2835 (i2c@7e804000)\")", "(send byte, read word data)"}));
    cases.back().functions = 0x00180000;
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Refusals, I2cRefused, ::testing::ValuesIn(refusals()), kByName);

TEST(I2cSettings, ABadOneEndsTheProgramWithStatus2BeforeAnythingIsOpened) {
    const struct {
        const char* settings;
        const char* message;
    } cases[] = {
        {"bus=", "bad setting 'bus='"},
        {"bus=4294967297", "bad setting 'bus=4294967297'"},
        {"address=0x50", "bad setting 'address=0x50'; give the chip's address, 0x48 to 0x4f"},
        {"address=4d", "bad setting 'address=4d'"},
        {"bus=1;speed=100", "unknown setting 'speed=100'"},
        {"address", "not name=value: 'address'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        TempDir dir;
        ChildSpec launch{QUORVANE_I2C_PROGRAM, {"-v"}};
        launch.environment = {std::string("LD_PRELOAD=") + QUORVANE_FAKE_I2C_LIBRARY,
                              std::string(Fake::kEnvironmentVariable) + "=" + onBus(dir).text(),
                              std::string("QUORVANE_I2C=") + c.settings};
        launch.keepErrors = true;
        ChildProcess i2c(launch);
        const auto end = i2c.wait();
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->status(), 2);
        EXPECT_EQ(i2c.output(), "") << "nothing printed, not even the banner";
        EXPECT_NE(i2c.errors().find(std::string("quorvane_i2c: QUORVANE_I2C: ") + c.message),
                  std::string::npos)
            << i2c.errors();
        EXPECT_TRUE(journalOf(dir).empty());
    }
}

struct NeverAReadingCase {
    const char* name;
    bool chipPresent;
    bool phantom;
    std::uint64_t unplugAt;  // by number: the adapter does not come back as /dev/i2c-1
    const char* journalSays;
};

class I2cNeverAReading : public ::testing::TestWithParam<NeverAReadingCase> {};

TEST_P(I2cNeverAReading, ErrorLinesASecondApartAndTheAdapterLookedForAgain) {
    const NeverAReadingCase& c = GetParam();
    TempDir dir;
    Fake::Settings fake = onBus(dir);
    fake.chipPresent = c.chipPresent;
    fake.phantom = c.phantom;
    fake.unplugAt = c.unplugAt;
    auto i2c = startI2c(dir, fake, "");
    ASSERT_TRUE(i2c.readUntil([](const std::string& out) {
        return splitMessages(out).size() >= 5;
    })) << i2c.output();
    const auto end = i2c.stop();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->signal, SIGINT) << "the program ended by itself";
    std::int64_t last = 0;
    for (const std::string& message : splitMessages(i2c.output())) {
        const auto line = parseShownLine(message);
        ASSERT_TRUE(line.has_value() && line->error) << "[" << message << "]";
        EXPECT_GE(line->seconds, last + (last != 0 ? 1 : 0)) << "a busy loop";
        last = line->seconds;
    }
    const std::vector<std::string> journal = journalOf(dir);
    EXPECT_TRUE(journalHas(journal, c.journalSays)) << c.journalSays;
    // After three cycles whose transfers failed the adapter's file is closed and the adapter
    // looked for again; registers of all ones come through working transfers.
    const auto closed = std::find(journal.begin(), journal.end(), "close");
    const bool transfersFail = !c.phantom;
    EXPECT_EQ(closed != journal.end(), transfersFail);
    EXPECT_EQ(std::find_if(closed, journal.end(),
                           [](const std::string& e) {
                               return e.find("open /dev/i2c-1") != std::string::npos;
                           }) != journal.end(),
              transfersFail);
}

INSTANTIATE_TEST_SUITE_P(Buses, I2cNeverAReading,
                         ::testing::Values(NeverAReadingCase{"NoChip", false, false, 0,
                                                             "read-byte-data 0xac failed 6"},
                                           NeverAReadingCase{"PhantomChipOfAllOnes", true, true, 0,
                                                             "read-word-data 0xaa = 0xffff"},
                                           NeverAReadingCase{"AdapterGone", true, false, 1,
                                                             "read-byte-data 0xac failed 19"}),
                         kByName);

// A USB adapter unplugged while the program reads (its calls fail) and plugged in again, where it
// comes back under the next number once the program let go of its file.
TEST(I2cAdapterUnplugged, FoundAgainByItsNameUnderItsNewNumber) {
    TempDir dir;
    Fake::Settings fake = onBus(dir);
    fake.name = "MCP2221 usb-i2c bridge";
    fake.bus = 3;
    fake.unplugAt = 20;
    auto i2c = startI2c(dir, fake, "bus=MCP2221 usb-i2c bridge");
    ASSERT_TRUE(i2c.readUntil([](const std::string& out) {
        const std::size_t error = out.find(kErrorLine);
        return error != std::string::npos && !measurementLines(out.substr(error + 1)).empty();
    })) << i2c.output();
    ASSERT_TRUE(i2c.stop().has_value());
    const std::vector<std::string> journal = journalOf(dir);
    const auto replugged = std::find(journal.begin(), journal.end(), "close");
    ASSERT_NE(replugged, journal.end());
    EXPECT_EQ(
        std::vector<std::string>(replugged, replugged + 3),
        (std::vector<std::string>{"close", "plugged in again as /dev/i2c-4", "open /dev/i2c-4"}));
    for (const ShownLine& line : measurementLines(i2c.output())) {
        EXPECT_EQ(line.valueField, "21.5");
    }
}

// Two programs on one chip would mix their one-shot cycles: the second is refused, naming the
// first, and the chip is free again once the first has ended.
TEST(I2cTwoPrograms, TheSecondOnOneChipIsRefusedNamingTheFirstUntilItEnds) {
    TempDir dir;
    const Fake::Settings fake = onBus(dir);
    auto first = startI2c(dir, fake, "");
    ASSERT_TRUE(waitForLines(first, 1)) << first.output();
    auto second = startI2c(dir, fake, "address=0x4d");
    ASSERT_TRUE(second.wait().has_value());
    const std::string hint = refusalHint(second.output(), EBUSY);
    EXPECT_NE(hint.find("Another program reads the chip at 0x4d on /dev/i2c-1 already "
                        "(quorvane_i2c, process " +
                        std::to_string(first.pid())),
              std::string::npos)
        << hint;
    ASSERT_TRUE(first.stop().has_value());
    auto third = startI2c(dir, fake, "");
    EXPECT_TRUE(waitForLines(third, 1)) << third.output();
}

}  // namespace
