// The bus layer at register level, through the fake port: which bits each line operation
// touches, the order of reads and writes, the busy wait's port reads and the framing on the wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bus/twowire.h"
#include "kit/cases.h"
#include "kit/fake_port.h"

namespace {

using namespace quorvane::testkit;
using Log = std::vector<Access>;

constexpr std::uint8_t kClock = 0x80;
constexpr std::uint8_t kDataDrive = 0x08;

Access readAccess(std::uint16_t address, int value, std::uint32_t count = 1) {
    return {Kind::Read, address, static_cast<std::uint8_t>(value), count};
}
Access writeAccess(std::uint16_t address, int value) {
    return {Kind::Write, address, static_cast<std::uint8_t>(value), 1};
}

// A device that leaves the line alone while a byte comes in, then answers the ninth clock.
std::vector<int> byteThenAnswer(int answer) {
    std::vector<int> levels(8, 1);
    levels.push_back(answer);
    return levels;
}

class TwoWireBus : public ::testing::Test {
  protected:
    static void start(std::uint16_t base, std::uint8_t dataLatch, std::uint8_t controlLatch) {
        fakePort().reset(base, dataLatch, controlLatch);
        port = base;
    }
    void SetUp() override { start(0x378, 0x00, 0x00); }

    // Idle bus: clock high, data released, supply and address set as after the cycle's set-up.
    static void startIdle() { start(0x378, 0xD7, 0x04); }
    // A start condition on the idle bus, then the log forgotten.
    static void afterStart() {
        startIdle();
        static_cast<void>(Start());
        fakePort().clearLog();
    }

    static const Log& log() { return fakePort().log(); }
    static std::string wire() { return fakePort().masterBus(); }
};

// --- Line operations -------------------------------------------------------------------------

struct LineOpCase {
    const char* name;
    void (*operation)();
    std::uint16_t offset;  // register changed
    std::uint8_t mask;
    bool sets;  // OR the mask in, or AND it out
};

const LineOpCase kLineOps[] = {
    {"setClk", setClk, 0, kClock, true},
    {"resetClk", resetClk, 0, kClock, false},
    {"setData", setData, 2, kDataDrive, false},
    {"resetData", resetData, 2, kDataDrive, true},
};

// Latch patterns with the changed bit both set and clear, and every other bit in both states.
const std::uint8_t kPatterns[] = {0x00, 0xFF, 0x5A, 0xA5, 0x37, 0xC8};
const std::uint16_t kBases[] = {0x378, 0x278};

TEST_F(TwoWireBus, LineOperationChangesOnlyItsBitAndWritesTheRestBackAsRead) {
    for (const LineOpCase& op : kLineOps) {
        for (std::uint16_t base : kBases) {
            for (std::uint8_t pattern : kPatterns) {
                SCOPED_TRACE(std::string(op.name) + " base " + std::to_string(base) + " latch " +
                             std::to_string(pattern));
                start(base, pattern, pattern);
                op.operation();

                const auto changed = static_cast<std::uint16_t>(base + op.offset);
                const int read = op.offset == 0 ? pattern : pattern | kControlFixed;
                const int written = op.sets ? read | op.mask : read & ~op.mask;
                // One read-modify-write of the one register, then 1 ms of data-register reads.
                EXPECT_EQ(log(), (Log{readAccess(changed, read), writeAccess(changed, written),
                                      readAccess(base, op.offset == 0 ? written : pattern, 1000)}));
            }
        }
    }
}

TEST_F(TwoWireBus, GetDataReleasesTheLineBeforeSamplingIt) {
    struct Case {
        std::uint8_t control;  // master pulling the line low beforehand, or not
        int device;            // what the device does to the line
        int expected;
    };
    const Case cases[] = {
        {0x00, 1, 1}, {0x00, 0, 0}, {kDataDrive, 1, 1}, {kDataDrive, 0, 0}, {0x37, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("control " + std::to_string(c.control) + " device " +
                     std::to_string(c.device));
        start(0x378, 0x80, c.control);
        fakePort().scriptDeviceLevels({c.device});
        EXPECT_EQ(getData(), c.expected);
        const int control = c.control | kControlFixed;
        EXPECT_EQ(log(), (Log{readAccess(0x37A, control), writeAccess(0x37A, control & ~kDataDrive),
                              readAccess(0x378, 0x80, 1000),
                              readAccess(0x379, kStatusFixed | (c.expected == 1 ? 0x00 : 0x10))}));
    }
}

// The set-up operations from every latch pattern: the accesses each makes, in order, from the
// data and control registers both holding the pattern (the control register reads its fixed
// bits on top).
struct SetUpCase {
    const char* name;
    void (*operation)();
    Log (*expected)(int pattern);
};

const SetUpCase kSetUps[] = {
    {"ApplyPowerSetsEverySupplyBitThenReleasesData", applyPower,
     [](int pattern) {
         const int control = pattern | kControlFixed;
         return Log{readAccess(0x378, pattern), writeAccess(0x378, pattern | 0xF7),
                    readAccess(0x37A, control), writeAccess(0x37A, control & ~kDataDrive),
                    readAccess(0x378, pattern | 0xF7, 1000)};
     }},
    {"SetAddressRaisesA2ThenLowersA1WithOneDelay", setAddress,
     [](int pattern) {
         const int raised = pattern | 0xC0;
         return Log{readAccess(0x378, pattern), writeAccess(0x378, raised),
                    readAccess(0x378, raised), writeAccess(0x378, raised & 0xDF),
                    readAccess(0x378, raised & 0xDF, 1000)};
     }},
    // The start-up turns a bidirectional port's data lines forward: bit 0x20 of the control
    // register cleared in one read-modify-write, every other bit written back as read, no wait.
    {"DriveDataLinesClearsOnlyTheDirectionBitWithoutAWait", driveDataLines,
     [](int pattern) {
         const int control = pattern | kControlFixed;
         return Log{readAccess(0x37A, control), writeAccess(0x37A, control & 0xDF)};
     }},
};

class SetUpOperation : public TwoWireBus, public ::testing::WithParamInterface<SetUpCase> {};

TEST_P(SetUpOperation, MakesItsAccessesInOrderFromEveryLatchPattern) {
    for (std::uint8_t pattern : kPatterns) {
        SCOPED_TRACE(std::to_string(pattern));
        start(0x378, pattern, pattern);
        GetParam().operation();
        EXPECT_EQ(log(), GetParam().expected(pattern));
    }
}

INSTANTIATE_TEST_SUITE_P(SetUp, SetUpOperation, ::testing::ValuesIn(kSetUps), kByName);

TEST_F(TwoWireBus, PowerAndAddressLeaveTheDataRegisterAsTheAdapterNeeds) {
    // 0x80, 0x40, 0x10 and 0x07 set, 0x20 clear, the unconnected 0x08 as it was.
    const struct {
        std::uint8_t before;
        std::uint8_t after;
    } cases[] = {{0x00, 0xD7}, {0xFF, 0xDF}, {0x28, 0xDF}, {0x20, 0xD7}, {0x08, 0xDF}};
    for (const auto& c : cases) {
        start(0x378, c.before, 0x00);
        applyPower();
        setAddress();
        EXPECT_EQ(fakePort().dataLatch(), c.after) << "from " << int{c.before};
        // Later clock changes touch nothing else.
        resetClk();
        EXPECT_EQ(fakePort().dataLatch(), c.after & 0x7F);
        setClk();
        EXPECT_EQ(fakePort().dataLatch(), c.after);
    }
}

// --- Delays ----------------------------------------------------------------------------------

TEST_F(TwoWireBus, DelayMsecReadsTheDataRegisterAThousandTimesPerMillisecond) {
    const struct {
        int ms;
        std::uint16_t base;
        std::uint64_t reads;
    } cases[] = {{0, 0x378, 0}, {1, 0x378, 1000}, {100, 0x378, 100000}, {100, 0x3BC, 100000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ms);
        start(c.base, 0x12, 0x00);
        DelayMsec(c.ms);
        EXPECT_EQ(countAccesses(log(), Kind::Read), c.reads);
        EXPECT_EQ(countAccesses(log(), Kind::Read, c.base), c.reads);
        EXPECT_EQ(countAccesses(log(), Kind::Write), 0U);
        EXPECT_EQ(fakePort().sleepCalls(), 0U);
    }
}

TEST_F(TwoWireBus, DelaySecSleepsWithoutTouchingThePort) {
    DelaySec(1);
    DelaySec(3);
    EXPECT_EQ(fakePort().sleepCalls(), 2U);
    EXPECT_EQ(fakePort().sleptSeconds(), 4U);
    EXPECT_TRUE(log().empty());
}

// --- Framing ---------------------------------------------------------------------------------

TEST_F(TwoWireBus, FramingOperationsCostTheirLineChanges) {
    struct Case {
        const char* name;
        void (*run)();
        std::uint64_t lineChanges;
        std::uint64_t samples;  // status reads
    };
    const Case cases[] = {
        {"Start", [] { static_cast<void>(Start()); }, 5, 1},  // checks the line is free
        {"Stop", [] { static_cast<void>(Stop()); }, 3, 1},    // checks the line was let go
        {"Transmit", [] { static_cast<void>(Transmit(0xA5)); }, 28, 9},  // each bit, the ninth
        {"Receive", [] { static_cast<void>(Receive()); }, 24, 8},
        {"Nak", Nak, 3, 0},
        {"Ack", Ack, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startIdle();
        c.run();
        // Each line change is one read-modify-write and 1 ms of 1000 data-register reads.
        EXPECT_EQ(countAccesses(log(), Kind::Write), c.lineChanges);
        EXPECT_EQ(countAccesses(log(), Kind::Read, 0x379), c.samples);
        EXPECT_EQ(countAccesses(log(), Kind::Read), c.lineChanges * 1001 + c.samples);
    }
}

TEST_F(TwoWireBus, StartAndStopConditionsOnTheWire) {
    startIdle();
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(wire(), "S");
    EXPECT_EQ(fakePort().dataLatch() & kClock, 0) << "Start ends with the clock low";

    // A repeated start, entered with the clock low and the data line held low.
    start(0x378, 0x57, 0x0C);
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(wire(), "S");

    startIdle();
    static_cast<void>(Start());
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(wire(), "S P");
    // Stop leaves the bus idle: clock high, data released.
    EXPECT_NE(fakePort().dataLatch() & kClock, 0);
    EXPECT_EQ(fakePort().controlLatch() & kDataDrive, 0);

    // A device that still holds the data line once the stop released it is out of step.
    startIdle();
    static_cast<void>(Start());
    fakePort().scriptDeviceLevels({0});
    EXPECT_NE(Stop(), 0);
}

TEST_F(TwoWireBus, TransmitSendsEachBitMostSignificantFirstThenReleasesForTheNinthClock) {
    for (std::uint8_t byte : {std::uint8_t{0xA5}, std::uint8_t{0x00}, std::uint8_t{0xFF},
                              std::uint8_t{0x9A}, std::uint8_t{0x01}}) {
        SCOPED_TRACE(int{byte});
        afterStart();
        fakePort().scriptDeviceLevels(byteThenAnswer(0));
        EXPECT_EQ(Transmit(byte), 0);
        EXPECT_EQ(wire(), hexByte(byte) + " n");
        EXPECT_EQ(fakePort().dataLatch() & kClock, 0) << "the clock ends low";
    }
}

TEST_F(TwoWireBus, TransmitSamplesEachClockOnceWhileItIsHigh) {
    const struct {
        int device;
        bool acknowledged;
    } cases[] = {{0, true}, {1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        afterStart();
        fakePort().scriptDeviceLevels(byteThenAnswer(c.device));
        const int status = Transmit(0xA5);
        if (c.acknowledged) {
            EXPECT_EQ(status, 0);
        } else {
            EXPECT_NE(status, 0);
        }
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);

        // Every status read and the line levels around it.
        const Log& l = log();
        int samples = 0;
        int risingEdges = 0;
        bool clockHigh = false;
        bool released = true;
        for (std::size_t i = 0; i < l.size(); ++i) {
            const Access& a = l[i];
            if (a.address == 0x379) {
                samples += static_cast<int>(a.count);
                EXPECT_TRUE(clockHigh) << "sampled with the clock low";
                EXPECT_EQ(risingEdges, samples) << "not one sample for each clock";
                if (samples == 9) {
                    EXPECT_TRUE(released) << "acknowledge sampled while the master holds the line";
                }
                // The clock falls right after the sample: no extra line change.
                ASSERT_LT(i + 2, l.size());
                EXPECT_EQ(l[i + 2].kind, Kind::Write);
                EXPECT_EQ(l[i + 2].address, 0x378);
                EXPECT_EQ(l[i + 2].value & kClock, 0);
            } else if (a.kind == Kind::Write && a.address == 0x378) {
                const bool high = (a.value & kClock) != 0;
                risingEdges += (high && !clockHigh) ? 1 : 0;
                clockHigh = high;
            } else if (a.kind == Kind::Write && a.address == 0x37A) {
                released = (a.value & kDataDrive) == 0;
            }
        }
        EXPECT_EQ(samples, 9);
    }
}

// A line held low under a bit the master released (stuck, or a device out of step) would turn
// the byte into another one under the device's acknowledge: the send stops at that bit. Under a
// bit the master drives low the line reads low anyway.
TEST_F(TwoWireBus, TransmitStopsAtAReleasedBitThatReadsLow) {
    const struct {
        std::uint8_t byte;
        int heldFromBit;  // 0 the most significant; 8 never
        bool fails;
        const char* sent;  // the wire, when the byte went out
    } cases[] = {
        {0xA5, 0, true, ""},  // the first bit, 1
        {0xA5, 1, true, ""},  // a 0 bit then a 1 bit
        {0xA5, 7, true, ""},  // the last bit, 1
        {0x00, 0, false, "00 n"}, {0xFF, 8, false, "FF n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.byte} << " held from bit " << c.heldFromBit);
        afterStart();
        std::vector<int> levels(8, 1);
        for (int bit = c.heldFromBit; bit < 8; ++bit) {
            levels[static_cast<std::size_t>(bit)] = 0;
        }
        levels.push_back(0);
        fakePort().scriptDeviceLevels(levels);
        const int status = Transmit(c.byte);
        EXPECT_EQ(status != 0, c.fails);
        EXPECT_EQ(fakePort().dataLatch() & kClock, 0) << "the clock ends low, ready for a stop";
        if (!c.fails) {
            EXPECT_EQ(wire(), c.sent);
            EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
            continue;
        }
        // The first released bit at or after the held one is the last clock given.
        int lastBit = c.heldFromBit;
        while (((c.byte >> (7 - lastBit)) & 1) == 0) {
            ++lastBit;
        }
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), static_cast<std::size_t>(8 - lastBit));
        EXPECT_EQ(countAccesses(log(), Kind::Read, 0x379), static_cast<std::uint64_t>(lastBit + 1));
    }
}

TEST_F(TwoWireBus, ReceiveAssemblesTheSampledBitsMostSignificantFirst) {
    const struct {
        std::vector<int> levels;
        std::uint8_t expected;
    } cases[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, 0x00}, {{1, 1, 1, 1, 1, 1, 1, 1}, 0xFF},
        {{1, 0, 1, 1, 0, 0, 1, 0}, 0xB2}, {{0, 0, 0, 0, 0, 0, 0, 1}, 0x01},
        {{1, 0, 0, 0, 0, 0, 0, 0}, 0x80},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int{c.expected});
        // As in a read: the read address has gone out and been acknowledged.
        afterStart();
        fakePort().scriptDeviceLevels(byteThenAnswer(0));
        static_cast<void>(Transmit(0x9B));
        fakePort().clearLog();
        fakePort().scriptDeviceLevels(c.levels);
        EXPECT_EQ(Receive(), c.expected);
        EXPECT_EQ(fakePort().scriptedLevelsLeft(), 0U);
        // Eight clocks with the line released, no ninth, every sample while the clock is high.
        EXPECT_EQ(wire(), "FF");
        EXPECT_EQ(fakePort().samplesWithClockLow(), 0U);
    }
}

// The ninth clock after a received byte: the line released, or pulled low, for one pulse.
TEST_F(TwoWireBus, MasterAcknowledgeBits) {
    for (const bool acknowledge : {false, true}) {
        SCOPED_TRACE(acknowledge);
        afterStart();
        static_cast<void>(Transmit(0x9B));
        static_cast<void>(Receive());
        fakePort().clearLog();
        if (acknowledge) {
            Ack();
        } else {
            Nak();
        }
        EXPECT_EQ(wire(), acknowledge ? "a" : "n");
    }
}

}  // namespace
