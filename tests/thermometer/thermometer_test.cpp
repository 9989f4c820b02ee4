// The thermometer driver: the arithmetic that turns the chip's registers into tenths, and the
// transactions and measurement cycle on the wire, with the device's answers scripted through
// the recording port.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "support/recording_port.h"
#include "thermometer/thermometer.h"

namespace {

using recording::Bits;

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
// condition, one for each acknowledge clock of a byte sent, eight for each byte received.
class Device {
  public:
    Device& start() {
        levels_.push_back(1);
        return *this;
    }
    Device& ack(int n = 1) {
        levels_.insert(levels_.end(), static_cast<std::size_t>(n), 0);
        return *this;
    }
    Device& nack() {
        levels_.push_back(1);
        return *this;
    }
    Device& send(std::uint8_t byte) {
        for (int bit = 7; bit >= 0; --bit) {
            levels_.push_back((byte >> bit) & 1);
        }
        return *this;
    }
    // A whole one-byte read: address, command, read address acknowledged, then the byte.
    Device& readByte(std::uint8_t byte) { return start().ack(2).start().ack().send(byte); }
    const std::vector<int>& levels() const { return levels_; }

  private:
    std::vector<int> levels_;
};

// Expected master side of the wire (see recording::DecodeMasterBus).
std::string Sent(std::uint8_t byte) {
    return Bits(byte) + "1";  // the ninth clock with the line released
}
const std::string kReceived = "11111111";
const std::string kNak = "1";

class ThermometerDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        recording::Port().Reset(0x378, 0xD7, 0x04);  // powered, addressed, bus idle
        port = 0x378;
    }
    static void script(const Device& d) { recording::Port().ScriptDeviceLevels(d.levels()); }
    static std::string wire() { return recording::DecodeMasterBus(recording::Port().Log(), port); }
    static std::uint64_t lineChanges() { return recording::AllWrites(recording::Port().Log()); }
};

// --- Transactions ----------------------------------------------------------------------------

TEST_F(ThermometerDriver, TransactionsPutTheirSequencesOnTheWire) {
    struct Case {
        const char* name;
        std::function<int(std::uint32_t*)> run;
        Device device;
        std::string wire;
        std::uint64_t lineChanges;
        std::uint32_t value;
    };
    const std::string readHead = "S" + Sent(0x9A);
    const std::string again = "S" + Sent(0x9B);
    auto byteOut = [](int (*f)(int, std::uint8_t*)) {
        return [f](std::uint32_t* v) {
            std::uint8_t b = 0;
            const int status = f(5, &b);
            *v = b;
            return status;
        };
    };
    const std::vector<Case> cases = {
        {"ReadCfg", byteOut(ReadCfg), Device().readByte(0x8D),
         readHead + Sent(0xAC) + again + kReceived + kNak + "P", 124, 0x8D},
        {"ReadCounter", byteOut(ReadCounter), Device().readByte(0x0A),
         readHead + Sent(0xA8) + again + kReceived + kNak + "P", 124, 0x0A},
        {"ReadSlope", byteOut(ReadSlope), Device().readByte(0x10),
         readHead + Sent(0xA9) + again + kReceived + kNak + "P", 124, 0x10},
        {"ReadTemperature",
         [](std::uint32_t* v) {
             std::uint16_t t = 0;
             const int status = ReadTemperature(5, &t);
             *v = t;
             return status;
         },
         Device().readByte(0xE7).start().ack().send(0x80),
         readHead + Sent(0xAA) + again + kReceived + again + kReceived + kNak + "P", 181, 0xE780},
        {"WriteCfg", [](std::uint32_t*) { return WriteCfg(5, 0x01); }, Device().start().ack(3),
         readHead + Sent(0xAC) + Sent(0x01) + "P", 92, 0},
        {"StartConversion", [](std::uint32_t*) { return StartConversion(5); },
         Device().start().ack(2), readHead + Sent(0xEE) + "P", 64, 0},
        {"WritePort", [](std::uint32_t*) { return WritePort(5, 0x22); }, Device().start().ack(2),
         readHead + Sent(0x22) + "P", 64, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script(c.device);
        std::uint32_t value = 0;
        EXPECT_EQ(c.run(&value), 0);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(wire(), c.wire);
        EXPECT_EQ(lineChanges(), c.lineChanges);
        EXPECT_EQ(recording::Port().ScriptedLevelsLeft(), 0U);
    }
}

TEST_F(ThermometerDriver, TransactionsUseTheAddressArgument) {
    script(Device().readByte(0x42));
    std::uint8_t cfg = 0;
    EXPECT_EQ(ReadCfg(0, &cfg), 0);
    EXPECT_EQ(wire(), "S" + Sent(0x90) + Sent(0xAC) + "S" + Sent(0x91) + kReceived + kNak + "P");
}

// A byte that is not acknowledged ends the transaction: nothing more is sent, the bus is
// released with a stop, what was received so far is stored and the status is non-zero.
TEST_F(ThermometerDriver, UnacknowledgedByteEndsTheTransactionWithAStop) {
    struct Case {
        const char* name;
        std::function<int(std::uint32_t*)> run;
        Device device;
        std::string wire;
        std::uint32_t value;
    };
    auto byteOut = [](int (*f)(int, std::uint8_t*)) {
        return [f](std::uint32_t* v) {
            std::uint8_t b = 0xEE;
            const int status = f(5, &b);
            *v = b;
            return status;
        };
    };
    auto temperature = [](std::uint32_t* v) {
        std::uint16_t t = 0xEEEE;
        const int status = ReadTemperature(5, &t);
        *v = t;
        return status;
    };
    const std::string head = "S" + Sent(0x9A);
    const std::vector<Case> cases = {
        {"ReadCfg, address", byteOut(ReadCfg), Device().start().nack(), head + "P", 0},
        {"ReadCfg, command", byteOut(ReadCfg), Device().start().ack().nack(),
         head + Sent(0xAC) + "P", 0},
        {"ReadCfg, read address", byteOut(ReadCfg), Device().start().ack(2).start().nack(),
         head + Sent(0xAC) + "S" + Sent(0x9B) + "P", 0},
        {"ReadCounter, command", byteOut(ReadCounter), Device().start().ack().nack(),
         head + Sent(0xA8) + "P", 0},
        {"ReadSlope, read address", byteOut(ReadSlope), Device().start().ack(2).start().nack(),
         head + Sent(0xA9) + "S" + Sent(0x9B) + "P", 0},
        {"ReadTemperature, address", temperature, Device().start().nack(), head + "P", 0},
        {"ReadTemperature, second read address", temperature,
         Device().readByte(0x19).start().nack(),
         head + Sent(0xAA) + "S" + Sent(0x9B) + kReceived + "S" + Sent(0x9B) + "P", 0x1900},
        {"WriteCfg, data", [](std::uint32_t*) { return WriteCfg(5, 0x01); },
         Device().start().ack(2).nack(), head + Sent(0xAC) + Sent(0x01) + "P", 0},
        {"WriteCfg, address", [](std::uint32_t*) { return WriteCfg(5, 0x01); },
         Device().start().nack(), head + "P", 0},
        {"StartConversion, command", [](std::uint32_t*) { return StartConversion(5); },
         Device().start().ack().nack(), head + Sent(0xEE) + "P", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script(c.device);
        std::uint32_t value = 0;
        EXPECT_NE(c.run(&value), 0);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(wire(), c.wire);
        EXPECT_EQ(recording::Port().ScriptedLevelsLeft(), 0U);
        // The stop leaves the bus idle.
        EXPECT_NE(recording::Port().DataLatch() & 0x80, 0);
        EXPECT_EQ(recording::Port().ControlLatch() & 0x08, 0);
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

Device Cycle(const Registers& r) {
    Device d;
    d.readByte(r.cfg);
    if ((r.cfg & 0x01) == 0) {
        d.start().ack(3);  // WriteCfg
    }
    d.start().ack(2);          // StartConversion
    d.readByte(r.cfg | 0x80);  // the second configuration read
    d.readByte(r.high).start().ack().send(r.low);
    d.readByte(r.countRemain);
    d.readByte(r.countPerDegree);
    return d;
}

std::string CycleWire(const Registers& r) {
    const std::string head = "S" + Sent(0x9A);
    const std::string again = "S" + Sent(0x9B);
    const std::string readEnd = kReceived + kNak + "P";
    std::string w = head + Sent(0xAC) + again + readEnd;
    if ((r.cfg & 0x01) == 0) {
        w += head + Sent(0xAC) + Sent(static_cast<std::uint8_t>(r.cfg | 0x01)) + "P";
    }
    w += head + Sent(0xEE) + "P";
    w += head + Sent(0xAC) + again + readEnd;
    w += head + Sent(0xAA) + again + kReceived + again + readEnd;
    w += head + Sent(0xA8) + again + readEnd;
    w += head + Sent(0xA9) + again + readEnd;
    return w;
}

// The longest run of consecutive reads of one address.
std::uint32_t LongestReadRun(std::uint16_t address) {
    std::uint32_t longest = 0;
    for (const recording::Access& a : recording::Port().Log()) {
        if (a.kind == recording::Kind::kRead && a.address == address && a.count > longest) {
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
        {{0x01, 25, 0x7F, 10, 16}, 251},
        {{0x03, 0xFB, 0x00, 12, 16}, -50},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, -13},
        {{0x00, 0x00, 0x00, 0x00, 0x00}, -3},
        {{0x01, 0x00, 0x00, 9, 5}, -10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        recording::Port().Reset(0x378, 0x00, 0x00);  // unpowered lines before the cycle
        script(Cycle(c.r));
        std::int16_t tenths = 1234;
        EXPECT_EQ(Temperature(0x378, &tenths), 0);
        EXPECT_EQ(tenths, c.expected);
        EXPECT_EQ(wire(), CycleWire(c.r));
        EXPECT_EQ(recording::Port().ScriptedLevelsLeft(), 0U);
        EXPECT_EQ(recording::Port().SleepCalls(), 1U);
        EXPECT_EQ(recording::Port().SleptSeconds(), 1U);
    }
}

TEST_F(ThermometerDriver, CycleWithTheOneShotBitSetWritesNothingAndCosts743LineChanges) {
    const Registers r{0x01, 25, 0, 10, 16};
    script(Cycle(r));
    std::int16_t tenths = 0;
    ASSERT_EQ(Temperature(0x378, &tenths), 0);
    // 743 changes of 1 ms; applyPower and setAddress each add one write with no delay of its own.
    const std::vector<recording::Access>& log = recording::Port().Log();
    EXPECT_EQ(recording::AllWrites(log), 745U);
    const std::uint64_t samples = recording::Reads(log, 0x379);
    // 66 acknowledge and data samples, and the line checked free at each of the 12 starts.
    EXPECT_EQ(samples, 78U);
    EXPECT_EQ(recording::AllReads(log), 745U + samples + std::uint64_t{743} * 1000U);
    EXPECT_LT(LongestReadRun(0x378), 100000U) << "no configuration wait";
}

TEST_F(ThermometerDriver, CycleWithTheOneShotBitClearWritesItAndWaits100Ms) {
    const Registers r{0x60, 25, 0, 10, 16};
    script(Cycle(r));
    std::int16_t tenths = 0;
    ASSERT_EQ(Temperature(0x378, &tenths), 0);
    EXPECT_EQ(tenths, 251);
    EXPECT_EQ(wire(), CycleWire(r));  // WriteCfg with 0x61
    const std::vector<recording::Access>& log = recording::Port().Log();
    EXPECT_EQ(recording::AllWrites(log), 745U + 92U);
    // The stop's last 1 ms and the 100 ms wait run together.
    EXPECT_EQ(LongestReadRun(0x378), 101000U);
}

TEST_F(ThermometerDriver, CycleUsesThePortItIsGiven) {
    recording::Port().Reset(0x278, 0x00, 0x00);
    port = 0x378;
    script(Cycle({0x01, 25, 0, 10, 16}));
    std::int16_t tenths = 0;
    EXPECT_EQ(Temperature(0x278, &tenths), 0);
    EXPECT_EQ(tenths, 251);
    EXPECT_EQ(port, 0x278);
    for (const recording::Access& a : recording::Port().Log()) {
        EXPECT_GE(a.address, 0x278);
        EXPECT_LE(a.address, 0x27A);
    }
    // Powered and addressed: supply bits, A2 and A0 set, A1 clear.
    EXPECT_EQ(recording::Port().DataLatch(), 0xD7);
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
        const std::size_t accesses = recording::AllReads(recording::Port().Log()) +
                                     recording::AllWrites(recording::Port().Log());
        SetUp();
        script(Cycle(r));
        if (c.beforeTheCycle) {
            recording::Port().FailAccess(1);
            static_cast<void>(Input(0x378));
        } else {
            recording::Port().FailAccess(c.failAt != 0 ? c.failAt : accesses);
        }
        tenths = 1234;
        const int status = Temperature(0x378, &tenths);
        EXPECT_EQ(status != 0, !c.beforeTheCycle);
        EXPECT_EQ(tenths, c.beforeTheCycle ? 251 : 0);
        EXPECT_EQ(wire(), CycleWire(r)) << "the bus is the same either way";
    }
}

TEST_F(ThermometerDriver, FailedCycleStoresZeroAndReturnsTheFailure) {
    const std::string head = "S" + Sent(0x9A);
    const std::string again = "S" + Sent(0x9B);
    const std::string readCfg = head + Sent(0xAC) + again + kReceived + kNak + "P";
    const std::string startConversion = head + Sent(0xEE) + "P";
    const std::string readTemperature =
        head + Sent(0xAA) + again + kReceived + again + kReceived + kNak + "P";
    const std::string readCounter = head + Sent(0xA8) + again + kReceived + kNak + "P";
    struct Case {
        const char* name;
        Device device;
        std::string wire;  // nothing follows the failing transaction's stop
        unsigned sleeps;
        bool waited;  // the configuration write waits its 100 ms even when it fails
    };
    const std::vector<Case> cases = {
        {"nobody answers", Device(), head + "P", 0, false},
        {"first ReadCfg", Device().start().nack(), head + "P", 0, false},
        {"WriteCfg data byte", Device().readByte(0x00).start().ack(2).nack(),
         readCfg + head + Sent(0xAC) + Sent(0x01) + "P", 0, true},
        {"StartConversion", Device().readByte(0x01).start().ack().nack(),
         readCfg + head + Sent(0xEE) + "P", 0, false},
        {"second ReadCfg", Device().readByte(0x01).start().ack(2).start().ack(2).start().nack(),
         readCfg + startConversion + head + Sent(0xAC) + again + "P", 1, false},
        {"ReadTemperature",
         Device().readByte(0x01).start().ack(2).readByte(0x81).start().ack(2).start().nack(),
         readCfg + startConversion + readCfg + head + Sent(0xAA) + again + "P", 1, false},
        {"ReadSlope",
         Device()
             .readByte(0x01)
             .start()
             .ack(2)
             .readByte(0x81)
             .readByte(25)
             .start()
             .ack()
             .send(0)
             .readByte(10)
             .start()
             .ack(2)
             .start()
             .nack(),
         readCfg + startConversion + readCfg + readTemperature + readCounter + head + Sent(0xA9) +
             again + "P",
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
        EXPECT_EQ(recording::Port().SleepCalls(), c.sleeps);
        EXPECT_EQ(LongestReadRun(0x378) >= 100000, c.waited);
        EXPECT_EQ(recording::Port().ScriptedLevelsLeft(), 0U);
    }
}

}  // namespace
