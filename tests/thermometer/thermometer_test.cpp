// The thermometer driver: the arithmetic that turns the chip's registers into tenths, and the
// transactions and measurement cycle on the wire, with the device's answers scripted through
// the fake port.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "kit/fake_port.h"
#include "kit/transactions.h"
#include "thermometer/thermometer.h"

namespace {

using namespace quorvane::testkit;

// --- Arithmetic ------------------------------------------------------------------------------

struct TenthsCase {
    std::uint8_t h;  // whole-degree byte as the chip sends it
    std::uint8_t c;  // count remain
    std::uint8_t s;  // count per degree
    std::int16_t expected;
    const char* why;
};

const TenthsCase kTenthsCases[] = {
    {25, 10, 16, 251, "25.125 rounds down"},
    {25, 0, 0, 248, "no slope: 24.75, the half goes up"},
    {20, 20, 16, 195, "count remain above count per degree"},
    {0, 16, 16, -3, "-2.5 tenths: the half goes away from zero"},
    {0xFB, 12, 16, -50, "the whole-degree byte is two's complement"},
    {25, 6, 10, 251, "25.15 held in single precision is just below the half"},
    {0, 9, 5, -10, "-1.05 held in single precision is just above the half"},
    {0, 255, 1, -2543, "count remain far above a slope of 1"},
    {0x7F, 0, 1, 1278, "highest reading: 127.75"},
    {0x80, 255, 1, -3823, "lowest reading: -128.25 - 254"},
    {0x80, 0, 0, -1283, "lowest byte with no slope"},
    {0xFF, 0, 1, -3, "-1 + 0.75"},
    {0xFF, 255, 255, -13, "every byte 0xFF: -1.25"},
    {0, 0, 0, -3, "every byte 0x00: -0.25"},
    {25, 200, 100, 238, "fraction of -1"},
    {0xF6, 40, 16, -118, "negative degrees with a negative fraction"},
    {0xFF, 4, 16, -5, "-0.5 degrees as the chip reports it"},
    {0xE7, 12, 16, -250, "-25 degrees as the chip reports it"},
    {0xC9, 12, 16, -550, "-55 degrees, the chip's lowest"},
    {0x7D, 12, 16, 1250, "+125 degrees, the chip's highest"},
    {0x00, 4, 16, 5, "+0.5 degrees"},
};

TEST(TenthsFromRegisters, EdgeCases) {
    for (const TenthsCase& t : kTenthsCases) {
        EXPECT_EQ(TenthsFromRegisters(t.h, t.c, t.s), t.expected)
            << "h=" << int{t.h} << " c=" << int{t.c} << " s=" << int{t.s} << ": " << t.why;
    }
}

TEST(TenthsFromRegisters, ZeroSlopeIgnoresTheCountRemain) {
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(TenthsFromRegisters(25, static_cast<std::uint8_t>(c), 0), 248) << c;
    }
}

// --- Scripted device -------------------------------------------------------------------------

// What the device puts on the data line, one level per status read: the line free at each start
// condition, for each byte sent the line left alone under its eight bits and then the
// acknowledge clock, eight for each byte received, the line let go after each stop.
class Device {
  public:
    Device& start() {
        levels_.push_back(1);
        return *this;
    }
    Device& ack(int n = 1) {
        for (int i = 0; i < n; ++i) {
            answer(0);
        }
        return *this;
    }
    Device& nack() {
        answer(1);
        return *this;
    }
    Device& stop() {
        levels_.push_back(1);
        return *this;
    }
    // Still pulls the line low once the stop released it.
    Device& hold() {
        levels_.push_back(0);
        return *this;
    }
    Device& send(std::uint8_t byte) {
        for (int bit = 7; bit >= 0; --bit) {
            levels_.push_back((byte >> bit) & 1);
        }
        return *this;
    }
    // A one-byte read up to its stop: address, command, read address acknowledged, the byte.
    Device& readFirst(std::uint8_t byte) { return start().ack(2).start().ack().send(byte); }
    // A whole one-byte read.
    Device& readByte(std::uint8_t byte) { return readFirst(byte).stop(); }
    // A whole temperature read: the first byte, the read address again, the second byte.
    Device& readTemperature(std::uint8_t high, std::uint8_t low) {
        return readFirst(high).start().ack().send(low).stop();
    }
    // A whole command without data, every byte acknowledged (StartConversion).
    Device& command() { return start().ack(2).stop(); }
    const std::vector<int>& levels() const { return levels_; }

  private:
    void answer(int level) {
        levels_.insert(levels_.end(), 8, 1);
        levels_.push_back(level);
    }
    std::vector<int> levels_;
};

// The device's side of a transaction that goes as its row of kTransactions says: the line free
// at each start, every byte sent acknowledged, `bytes` sent for a read, the line let go after
// the stop.
Device answering(const Transaction& t, const std::vector<std::uint8_t>& bytes) {
    Device d;
    std::size_t next = 0;
    for (const std::string& token : busTokens(t)) {
        if (token == "S" || token == "Sr") {
            d.start();
        } else if (token == "a") {
            d.ack();
        } else if (token == "Rx") {
            d.send(bytes.at(next++));
        } else if (token == "P") {
            d.stop();
        }
    }
    return d;
}

// What the scripted device holds: a byte of its own for each read, and a second temperature
// byte unlike the first, so that a byte stored in the wrong place shows.
constexpr ChipRegisters kScripted{0x8D, 0xE7, 0x80, 0x0A, 0x10};

// The master's side of the wire (see FakePort::MasterBus): the ninth clocks read "n" and the
// bytes received "FF", whatever the device answered.
const std::string kReadCfg = masterSide(transactionNamed("ReadCfg"));
const std::string kReadTemperature = masterSide(transactionNamed("ReadTemperature"));
const std::string kReadCounter = masterSide(transactionNamed("ReadCounter"));
const std::string kReadSlope = masterSide(transactionNamed("ReadSlope"));
const std::string kStartConversion = masterSide(transactionNamed("StartConversion"));

class ThermometerDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        fakePort().reset(0x378, 0xD7, 0x04);  // powered, addressed, bus idle
        port = 0x378;
    }
    static void script(const Device& d) { fakePort().scriptDeviceLevels(d.levels()); }
    static std::string wire() { return fakePort().masterBus(); }
};

// --- Transactions ----------------------------------------------------------------------------

// Each transaction's row of kTransactions on the fake port, which sees the master's side alone;
// tests/thermometer/thermometer_sim_test.cpp runs the same rows on the simulated port.
class TransactionOnTheFakePort : public ThermometerDriver,
                                 public ::testing::WithParamInterface<Transaction> {};

TEST_P(TransactionOnTheFakePort, PutsItsSequenceOnTheWireAndStoresTheBytesReceived) {
    const Transaction& t = GetParam();
    const std::vector<std::uint8_t> sent = deviceAnswer(t, kScripted);
    script(answering(t, sent));
    const auto [status, value] = t.call(0x5A5A);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(value, valueOf(sent));
    EXPECT_EQ(wire(), masterSide(t));
    EXPECT_EQ(countAccesses(fakePort().log(), Kind::Write), t.lineChanges);
    EXPECT_EQ(countAccesses(fakePort().log(), Kind::Read, 0x379), dataLineSamples(t));
    EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
    // The stop leaves the bus idle.
    EXPECT_NE(fakePort().dataLatch() & 0x80, 0);
    EXPECT_EQ(fakePort().controlLatch() & 0x08, 0);
}

INSTANTIATE_TEST_SUITE_P(Transactions, TransactionOnTheFakePort, ::testing::ValuesIn(kTransactions),
                         kByName);

TEST_F(ThermometerDriver, TransactionsUseTheAddressArgument) {
    script(Device().readByte(0x42));
    std::uint8_t cfg = 0;
    EXPECT_EQ(ReadCfg(0, &cfg), 0);
    EXPECT_EQ(wire(), "S 90 n AC n Sr 91 n FF n P");
}

// A byte that is not acknowledged ends the transaction: nothing more is sent, the bus is
// released with a stop, what was received so far is stored and the status is non-zero.
TEST_F(ThermometerDriver, UnacknowledgedByteEndsTheTransactionWithAStop) {
    const struct {
        const char* name;
        const char* byte;  // the one left unacknowledged
        Device device;
        std::string wire;
        std::uint32_t value;
    } cases[] = {
        {"ReadCfg", "address", Device().start().nack(), "S 9A n P", 0},
        {"ReadCfg", "command", Device().start().ack().nack(), "S 9A n AC n P", 0},
        {"ReadCfg", "read address", Device().start().ack(2).start().nack(), "S 9A n AC n Sr 9B n P",
         0},
        {"ReadCounter", "command", Device().start().ack().nack(), "S 9A n A8 n P", 0},
        {"ReadSlope", "read address", Device().start().ack(2).start().nack(),
         "S 9A n A9 n Sr 9B n P", 0},
        {"ReadTemperature", "address", Device().start().nack(), "S 9A n P", 0},
        {"ReadTemperature", "second read address", Device().readFirst(0x19).start().nack(),
         "S 9A n AA n Sr 9B n FF Sr 9B n P", 0x1900},
        {"WriteCfg", "data", Device().start().ack(2).nack(), "S 9A n AC n 01 n P", 0},
        {"WriteCfg", "address", Device().start().nack(), "S 9A n P", 0},
        {"StartConversion", "command", Device().start().ack().nack(), "S 9A n EE n P", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ", " + c.byte);
        SetUp();
        script(c.device);
        const auto [status, value] = callTransaction(c.name, 0xEEEE);
        EXPECT_NE(status, 0);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(wire(), c.wire);
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
        // The stop leaves the bus idle.
        EXPECT_NE(fakePort().dataLatch() & 0x80, 0);
        EXPECT_EQ(fakePort().controlLatch() & 0x08, 0);
    }
}

// --- Measurement cycle -----------------------------------------------------------------------

struct Registers {
    std::uint8_t cfg;
    std::uint8_t high;
    std::uint8_t low;
    std::uint8_t countRemain;
    std::uint8_t countPerDegree;
};

// How the device's side of a cycle ends: as a working chip, holding the line after the last stop,
// or with the configuration of a chip that restarted after the reads (no conversion done).
enum class End { Working, Held, Restarted };

Device deviceCycle(const Registers& r, End end = End::Working) {
    Device d;
    d.readByte(r.cfg);
    if ((r.cfg & 0x01) == 0) {
        d.start().ack(3).stop();  // WriteCfg
    }
    d.command();               // StartConversion
    d.readByte(r.cfg | 0x80);  // the second configuration read
    d.readTemperature(r.high, r.low);
    d.readByte(r.countRemain);
    d.readByte(r.countPerDegree);
    // The configuration read once more after the registers.
    d.readFirst(end == End::Restarted ? r.cfg & 0x7F : r.cfg | 0x80);
    return end == End::Held ? d.hold() : d.stop();
}

std::string cycleWire(const Registers& r) {
    std::string w = kReadCfg;
    if ((r.cfg & 0x01) == 0) {
        w += " S 9A n AC n " + hexByte(r.cfg | 0x01U) + " n P";
    }
    return w + " " + kStartConversion + " " + kReadCfg + " " + kReadTemperature + " " +
           kReadCounter + " " + kReadSlope + " " + kReadCfg;
}

// The longest run of consecutive reads of one address.
std::uint32_t longestReadRun(std::uint16_t address) {
    std::uint32_t longest = 0;
    for (const Access& a : fakePort().log()) {
        if (a.kind == Kind::Read && a.address == address && a.count > longest) {
            longest = a.count;
        }
    }
    return longest;
}

TEST_F(ThermometerDriver, CycleComputesTenthsFromTheRegistersItReads) {
    const struct {
        Registers r;
        std::int16_t expected;
    } cases[] = {
        {{0x01, 25, 0x00, 10, 16}, 251},
        {{0x01, 25, 0x80, 10, 16}, 251},  // the low byte has no influence
        {{0x01, 25, 25, 10, 16}, 251},    // the register started over after the repeated start
        {{0x03, 0xFB, 0x00, 12, 16}, -50},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, -13},
        {{0x00, 0x00, 0x00, 0x00, 0x00}, -3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        fakePort().reset(0x378, 0x00, 0x00);  // unpowered lines before the cycle
        script(deviceCycle(c.r));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths), 0);
        EXPECT_EQ(tenths, c.expected);
        EXPECT_EQ(wire(), cycleWire(c.r));
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
        EXPECT_EQ(fakePort().sleepCalls(), 1U);
        EXPECT_EQ(fakePort().sleptSeconds(), 1U);
    }
}

TEST_F(ThermometerDriver, CycleWithTheOneShotBitSetWritesNothingAndCosts867LineChanges) {
    script(deviceCycle({0x01, 25, 0, 10, 16}));
    std::int16_t tenths = 0;
    ASSERT_EQ(Temperature(0x378, &tenths), 0);
    // 867 changes of 1 ms; applyPower and setAddress each add one write with no delay of its own.
    const std::vector<Access>& log = fakePort().log();
    EXPECT_EQ(countAccesses(log, Kind::Write), 869U);
    const std::uint64_t samples = countAccesses(log, Kind::Read, 0x379);
    // 168 samples of the bits of the 21 bytes sent, 77 acknowledge and data samples, the line
    // checked free at each of the 14 starts and let go after each of the 7 stops.
    EXPECT_EQ(samples, 266U);
    EXPECT_EQ(countAccesses(log, Kind::Read), 869U + samples + std::uint64_t{867} * 1000U);
    EXPECT_LT(longestReadRun(0x378), 100000U) << "no configuration wait";
}

TEST_F(ThermometerDriver, CycleWithTheOneShotBitClearWritesItAndWaits100Ms) {
    const Registers r{0x60, 25, 0, 10, 16};
    script(deviceCycle(r));
    std::int16_t tenths = 0;
    ASSERT_EQ(Temperature(0x378, &tenths), 0);
    EXPECT_EQ(tenths, 251);
    EXPECT_EQ(wire(), cycleWire(r));  // WriteCfg with 0x61
    EXPECT_EQ(countAccesses(fakePort().log(), Kind::Write), 869U + 92U);
    // The 100 ms wait follows the stop's look at the data line.
    EXPECT_EQ(longestReadRun(0x378), 100000U);
}

TEST_F(ThermometerDriver, CycleUsesThePortItIsGiven) {
    fakePort().reset(0x278, 0x00, 0x00);
    port = 0x378;
    script(deviceCycle({0x01, 25, 0, 10, 16}));
    std::int16_t tenths = 0;
    EXPECT_EQ(Temperature(0x278, &tenths), 0);
    EXPECT_EQ(tenths, 251);
    EXPECT_EQ(port, 0x278);
    for (const Access& a : fakePort().log()) {
        EXPECT_GE(a.address, 0x278);
        EXPECT_LE(a.address, 0x27A);
    }
    // Powered and addressed: supply bits, A2 and A0 set, A1 clear.
    EXPECT_EQ(fakePort().dataLatch(), 0xD7);
}

// A port that fails an access (the kernel's device when the port went away) reads levels that
// can pass for the chip's: the cycle it hit is a failed one, whatever the bus showed, and only
// that cycle. A failure before the cycle began does not count against it.
TEST_F(ThermometerDriver, CycleInWhichAnAccessFailedIsAFailedCycle) {
    const Registers r{0x01, 25, 0, 10, 16};
    struct Case {
        const char* name;
        std::uint64_t failAt;  // the access reported failed, counted from the cycle's first
        bool beforeTheCycle;
    };
    const std::vector<Case> cases = {
        {"the first access", 1, false},
        {"the last access", 0, false},
        {"before the cycle", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script(deviceCycle(r));
        std::int16_t tenths = 1234;
        ASSERT_EQ(Temperature(0x378, &tenths), 0);
        const std::uint64_t accesses = countAccesses(fakePort().log(), Kind::Read) +
                                       countAccesses(fakePort().log(), Kind::Write);
        SetUp();
        script(deviceCycle(r));
        if (c.beforeTheCycle) {
            fakePort().failAccess(1);
            static_cast<void>(Input(0x378));
        } else {
            fakePort().failAccess(c.failAt != 0 ? c.failAt : accesses);
        }
        tenths = 1234;
        const int status = Temperature(0x378, &tenths);
        EXPECT_EQ(status != 0, !c.beforeTheCycle);
        EXPECT_EQ(tenths, c.beforeTheCycle ? 251 : 0);
        EXPECT_EQ(wire(), cycleWire(r)) << "the bus is the same either way";
    }
}

TEST_F(ThermometerDriver, FailedCycleStoresZeroAndReturnsTheFailure) {
    struct Case {
        const char* name;
        Device device;
        std::string wire;  // nothing follows the failing transaction's stop
        unsigned sleeps;
        bool waited;  // the configuration write waits its 100 ms even when it fails
    };
    const std::string converted = kReadCfg + " " + kStartConversion;
    // The device's side of a working cycle up to a transaction: the configuration read and the
    // conversion started, then the configuration, the temperature and the count remain read.
    const Device conversionStarted = Device().readByte(0x01).command();
    const Device doneRead = Device(conversionStarted).readByte(0x81);
    const Device countRemainRead = Device(doneRead).readTemperature(25, 0).readByte(10);
    const std::vector<Case> cases = {
        {"nobody answers", Device(), "S 9A n P", 0, false},
        {"first ReadCfg", Device().start().nack(), "S 9A n P", 0, false},
        {"WriteCfg data byte", Device().readByte(0x00).start().ack(2).nack(),
         kReadCfg + " S 9A n AC n 01 n P", 0, true},
        {"StartConversion", Device().readByte(0x01).start().ack().nack(), converted, 0, false},
        {"second ReadCfg", Device(conversionStarted).start().ack(2).start().nack(),
         converted + " S 9A n AC n Sr 9B n P", 1, false},
        {"ReadTemperature", Device(doneRead).start().ack(2).start().nack(),
         converted + " " + kReadCfg + " S 9A n AA n Sr 9B n P", 1, false},
        {"ReadSlope", Device(countRemainRead).start().ack(2).start().nack(),
         converted + " " + kReadCfg + " " + kReadTemperature + " " + kReadCounter +
             " S 9A n A9 n Sr 9B n P",
         1, false},
        {"last ReadCfg", Device(countRemainRead).readByte(16).start().nack(),
         converted + " " + kReadCfg + " " + kReadTemperature + " " + kReadCounter + " " +
             kReadSlope + " S 9A n P",
         1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script(c.device);
        std::int16_t tenths = 1234;
        EXPECT_NE(Temperature(0x378, &tenths), 0);
        EXPECT_EQ(tenths, 0);
        EXPECT_EQ(wire(), c.wire);
        EXPECT_EQ(fakePort().sleepCalls(), c.sleeps);
        EXPECT_EQ(longestReadRun(0x378) >= 100000, c.waited);
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
    }
}

// A chip that lost its supply or its connection, or a data line stuck, for part of a byte
// leaves the master reading ones or zeros with every acknowledge in place. Registers no working
// chip holds fail the cycle after the same bus traffic; the limits of what a chip holds pass.
TEST_F(ThermometerDriver, CycleWithRegistersNoChipHoldsFails) {
    const struct {
        Registers r;
        bool possible;
        const char* why;
    } cases[] = {
        {{0x01, 0x7D, 0x00, 16, 16}, true, "+125 with the count remain at the count per degree"},
        {{0x01, 0xC9, 0x00, 0, 16}, true, "-55"},
        {{0x01, 0x7E, 0x00, 10, 16}, false, "+126, above the chip's range"},
        {{0x01, 0xC8, 0x00, 10, 16}, false, "-56, below it"},
        {{0x01, 0x80, 0x80, 10, 16}, false, "-128"},
        {{0x01, 25, 0x00, 17, 16}, false, "count remain above the count per degree"},
        {{0x01, 25, 0x00, 0xFF, 0}, true, "no count per degree: the count remain is not used"},
        {{0x01, 25, 0x7F, 10, 16}, false, "second byte with bits below the half degree"},
        {{0x01, 25, 0x40, 10, 16}, false, "second byte neither the first again nor a low byte"},
        {{0x01, 25, 0x99, 10, 16}, false, "second byte with the half degree and more"},
        {{0x01, 0x00, 0x00, 9, 5}, false, "count remain 9 of 5, which would show -1.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        SetUp();
        script(deviceCycle(c.r));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths) == 0, c.possible);
        if (!c.possible) {
            EXPECT_EQ(tenths, 0);
        }
        EXPECT_EQ(wire(), cycleWire(c.r)) << "the same bus traffic";
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
    }
}

// A chip that restarted (lost its supply) during the reads answers them from its power-up
// registers, which can look like a reading; its configuration, read after them, shows no
// conversion done.
TEST_F(ThermometerDriver, CycleOfAChipThatRestartedDuringTheReadsFails) {
    for (const End end : {End::Working, End::Restarted}) {
        const bool restarted = end == End::Restarted;
        SCOPED_TRACE(restarted);
        SetUp();
        const Registers r{0x01, 0x00, 0x00, 0x00, 0x00};  // what a chip just powered up holds
        script(deviceCycle(r, end));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths) != 0, restarted);
        EXPECT_EQ(tenths, restarted ? 0 : -3);
        EXPECT_EQ(wire(), cycleWire(r));
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
    }
}

// A device that still holds the data line once a stop released it is out of step with the
// master: the transaction fails, whatever it read, and a cycle would fail with it.
TEST_F(ThermometerDriver, DataLineHeldAfterTheStopFailsTheTransaction) {
    const struct {
        const char* name;
        Device device;
    } cases[] = {
        {"ReadCfg", Device().readFirst(0x01).hold()},
        {"ReadTemperature", Device().readFirst(0x19).start().ack().send(0x19).hold()},
        {"ReadSlope", Device().readFirst(0x10).hold()},
        {"WriteCfg", Device().start().ack(3).hold()},
        {"StartConversion", Device().start().ack(2).hold()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script(c.device);
        EXPECT_NE(callTransaction(c.name, 0).status, 0);
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
    }
    // Let go after the very last stop of a cycle, or not.
    for (const bool held : {false, true}) {
        SetUp();
        script(deviceCycle({0x01, 25, 0, 10, 16}, held ? End::Held : End::Working));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths) != 0, held);
        EXPECT_EQ(tenths, held ? 0 : 251);
    }
}

}  // namespace
