// The thermometer driver: the arithmetic that turns the chip's registers into tenths, and the
// transactions and measurement cycle on the wire, with the device's answers scripted through
// the fake port.
#include <gtest/gtest.h>

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
    const std::vector<int>& levels() const { return levels_; }

  private:
    void answer(int level) {
        levels_.insert(levels_.end(), 8, 1);
        levels_.push_back(level);
    }
    std::vector<int> levels_;
};

// The master's side of the wire (see FakePort::MasterBus): the ninth clocks read "n" and the
// bytes received "FF", whatever the device answered.
const std::string kReadCfg = "S 9A n AC n Sr 9B n FF n P";
const std::string kReadTemperature = "S 9A n AA n Sr 9B n FF Sr 9B n FF n P";
const std::string kReadCounter = "S 9A n A8 n Sr 9B n FF n P";
const std::string kReadSlope = "S 9A n A9 n Sr 9B n FF n P";
const std::string kStartConversion = "S 9A n EE n P";

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

TEST_F(ThermometerDriver, TransactionsPutTheirSequencesOnTheWire) {
    const struct {
        const char* name;
        Device device;
        std::string wire;
        std::uint64_t lineChanges;
        std::uint32_t value;
    } cases[] = {
        {"ReadCfg", Device().readByte(0x8D), kReadCfg, 124, 0x8D},
        {"ReadCounter", Device().readByte(0x0A), kReadCounter, 124, 0x0A},
        {"ReadSlope", Device().readByte(0x10), kReadSlope, 124, 0x10},
        {"ReadTemperature", Device().readFirst(0xE7).start().ack().send(0x80), kReadTemperature,
         181, 0xE780},
        {"WriteCfg", Device().start().ack(3), "S 9A n AC n 01 n P", 92, 0},
        {"StartConversion", Device().start().ack(2), kStartConversion, 64, 0},
        {"WritePort", Device().start().ack(2), "S 9A n 22 n P", 64, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script(c.device);
        const auto [status, value] = CallTransaction(c.name, 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(wire(), c.wire);
        EXPECT_EQ(countAccesses(fakePort().log(), Kind::Write), c.lineChanges);
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
    }
}

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
        const auto [status, value] = CallTransaction(c.name, 0xEEEE);
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

Device Cycle(const Registers& r, End end = End::Working) {
    Device d;
    d.readByte(r.cfg);
    if ((r.cfg & 0x01) == 0) {
        d.start().ack(3).stop();  // WriteCfg
    }
    d.start().ack(2).stop();   // StartConversion
    d.readByte(r.cfg | 0x80);  // the second configuration read
    d.readFirst(r.high).start().ack().send(r.low).stop();
    d.readByte(r.countRemain);
    d.readByte(r.countPerDegree);
    // The configuration read once more after the registers.
    d.readFirst(end == End::Restarted ? r.cfg & 0x7F : r.cfg | 0x80);
    return end == End::Held ? d.hold() : d.stop();
}

std::string CycleWire(const Registers& r) {
    std::string w = kReadCfg;
    if ((r.cfg & 0x01) == 0) {
        w += " S 9A n AC n " + hexByte(r.cfg | 0x01U) + " n P";
    }
    return w + " " + kStartConversion + " " + kReadCfg + " " + kReadTemperature + " " +
           kReadCounter + " " + kReadSlope + " " + kReadCfg;
}

// The longest run of consecutive reads of one address.
std::uint32_t LongestReadRun(std::uint16_t address) {
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
        script(Cycle(c.r));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths), 0);
        EXPECT_EQ(tenths, c.expected);
        EXPECT_EQ(wire(), CycleWire(c.r));
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
        EXPECT_EQ(fakePort().sleepCalls(), 1U);
        EXPECT_EQ(fakePort().sleptSeconds(), 1U);
    }
}

TEST_F(ThermometerDriver, CycleWithTheOneShotBitSetWritesNothingAndCosts867LineChanges) {
    script(Cycle({0x01, 25, 0, 10, 16}));
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
    EXPECT_LT(LongestReadRun(0x378), 100000U) << "no configuration wait";
}

TEST_F(ThermometerDriver, CycleWithTheOneShotBitClearWritesItAndWaits100Ms) {
    const Registers r{0x60, 25, 0, 10, 16};
    script(Cycle(r));
    std::int16_t tenths = 0;
    ASSERT_EQ(Temperature(0x378, &tenths), 0);
    EXPECT_EQ(tenths, 251);
    EXPECT_EQ(wire(), CycleWire(r));  // WriteCfg with 0x61
    EXPECT_EQ(countAccesses(fakePort().log(), Kind::Write), 869U + 92U);
    // The 100 ms wait follows the stop's look at the data line.
    EXPECT_EQ(LongestReadRun(0x378), 100000U);
}

TEST_F(ThermometerDriver, CycleUsesThePortItIsGiven) {
    fakePort().reset(0x278, 0x00, 0x00);
    port = 0x378;
    script(Cycle({0x01, 25, 0, 10, 16}));
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
        script(Cycle(r));
        std::int16_t tenths = 1234;
        ASSERT_EQ(Temperature(0x378, &tenths), 0);
        const std::uint64_t accesses = countAccesses(fakePort().log(), Kind::Read) +
                                       countAccesses(fakePort().log(), Kind::Write);
        SetUp();
        script(Cycle(r));
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
        EXPECT_EQ(wire(), CycleWire(r)) << "the bus is the same either way";
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
    const std::vector<Case> cases = {
        {"nobody answers", Device(), "S 9A n P", 0, false},
        {"first ReadCfg", Device().start().nack(), "S 9A n P", 0, false},
        {"WriteCfg data byte", Device().readByte(0x00).start().ack(2).nack(),
         kReadCfg + " S 9A n AC n 01 n P", 0, true},
        {"StartConversion", Device().readByte(0x01).start().ack().nack(), converted, 0, false},
        {"second ReadCfg",
         Device().readByte(0x01).start().ack(2).stop().start().ack(2).start().nack(),
         converted + " S 9A n AC n Sr 9B n P", 1, false},
        {"ReadTemperature",
         Device().readByte(0x01).start().ack(2).stop().readByte(0x81).start().ack(2).start().nack(),
         converted + " " + kReadCfg + " S 9A n AA n Sr 9B n P", 1, false},
        {"ReadSlope",
         Device()
             .readByte(0x01)
             .start()
             .ack(2)
             .stop()
             .readByte(0x81)
             .readFirst(25)
             .start()
             .ack()
             .send(0)
             .stop()
             .readByte(10)
             .start()
             .ack(2)
             .start()
             .nack(),
         converted + " " + kReadCfg + " " + kReadTemperature + " " + kReadCounter +
             " S 9A n A9 n Sr 9B n P",
         1, false},
        {"last ReadCfg",
         Device()
             .readByte(0x01)
             .start()
             .ack(2)
             .stop()
             .readByte(0x81)
             .readFirst(25)
             .start()
             .ack()
             .send(0)
             .stop()
             .readByte(10)
             .readByte(16)
             .start()
             .nack(),
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
        EXPECT_EQ(LongestReadRun(0x378) >= 100000, c.waited);
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
        script(Cycle(c.r));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths) == 0, c.possible);
        if (!c.possible) {
            EXPECT_EQ(tenths, 0);
        }
        EXPECT_EQ(wire(), CycleWire(c.r)) << "the same bus traffic";
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
        script(Cycle(r, end));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths) != 0, restarted);
        EXPECT_EQ(tenths, restarted ? 0 : -3);
        EXPECT_EQ(wire(), CycleWire(r));
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
        EXPECT_NE(CallTransaction(c.name, 0).status, 0);
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
    }
    // Let go after the very last stop of a cycle, or not.
    for (const bool held : {false, true}) {
        SetUp();
        script(Cycle({0x01, 25, 0, 10, 16}, held ? End::Held : End::Working));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths) != 0, held);
        EXPECT_EQ(tenths, held ? 0 : 251);
    }
}

}  // namespace
