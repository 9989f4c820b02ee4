// The bus layer at register level, through the recording port: which bits each line operation
// touches, the order of reads and writes, the busy wait's port reads and the framing on the wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bus/twowire.h"
#include "support/recording_port.h"

namespace {

using recording::Access;
using recording::Bits;
using recording::Kind;

constexpr std::uint8_t kClock = 0x80;
constexpr std::uint8_t kDataDrive = 0x08;

class TwoWireBus : public ::testing::Test {
  protected:
    void start(std::uint16_t base, std::uint8_t dataLatch, std::uint8_t controlLatch) {
        recording::Port().Reset(base, dataLatch, controlLatch);
        port = base;
    }
    void SetUp() override { start(0x378, 0x00, 0x00); }

    // Idle bus: clock high, data released, supply and address set as after the cycle's set-up.
    void startIdle() { start(0x378, 0xD7, 0x04); }

    static const std::vector<Access>& log() { return recording::Port().Log(); }
    static std::string wire() { return recording::DecodeMasterBus(log(), port); }
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

                const std::uint16_t changed = static_cast<std::uint16_t>(base + op.offset);
                const std::uint8_t read =
                    op.offset == 0 ? pattern
                                   : static_cast<std::uint8_t>(pattern | recording::kControlFixed);
                const std::uint8_t written = op.sets ? static_cast<std::uint8_t>(read | op.mask)
                                                     : static_cast<std::uint8_t>(read & ~op.mask);
                const std::uint8_t dataAfter = op.offset == 0 ? written : pattern;

                // One read-modify-write of the one register, then 1 ms of data-register reads.
                const std::vector<Access>& l = log();
                ASSERT_EQ(l.size(), 3U);
                EXPECT_EQ(l[0].kind, Kind::kRead);
                EXPECT_EQ(l[0].address, changed);
                EXPECT_EQ(l[0].count, 1U);
                EXPECT_EQ(l[1].kind, Kind::kWrite);
                EXPECT_EQ(l[1].address, changed);
                EXPECT_EQ(l[1].value, written);
                EXPECT_EQ(l[2].kind, Kind::kRead);
                EXPECT_EQ(l[2].address, base);
                EXPECT_EQ(l[2].value, dataAfter);
                EXPECT_EQ(l[2].count, 1000U);
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
        recording::Port().ScriptDeviceLevels({c.device});
        EXPECT_EQ(getData(), c.expected);

        const std::vector<Access>& l = log();
        ASSERT_EQ(l.size(), 4U);
        EXPECT_EQ(l[0].kind, Kind::kRead);
        EXPECT_EQ(l[0].address, 0x37A);
        EXPECT_EQ(l[1].kind, Kind::kWrite);
        EXPECT_EQ(l[1].address, 0x37A);
        EXPECT_EQ(l[1].value & kDataDrive, 0);
        EXPECT_EQ(l[2].address, 0x378);
        EXPECT_EQ(l[2].count, 1000U);
        EXPECT_EQ(l[3].kind, Kind::kRead);
        EXPECT_EQ(l[3].address, 0x379);
        EXPECT_EQ(l[3].count, 1U);
    }
}

TEST_F(TwoWireBus, ApplyPowerSetsEverySupplyBitThenReleasesData) {
    for (std::uint8_t pattern : kPatterns) {
        SCOPED_TRACE(std::to_string(pattern));
        start(0x378, pattern, pattern);
        applyPower();
        const std::vector<Access>& l = log();
        ASSERT_EQ(l.size(), 5U);
        EXPECT_EQ(l[0].kind, Kind::kRead);
        EXPECT_EQ(l[0].address, 0x378);
        EXPECT_EQ(l[1].kind, Kind::kWrite);
        EXPECT_EQ(l[1].address, 0x378);
        EXPECT_EQ(l[1].value, pattern | 0xF7);
        EXPECT_EQ(l[2].kind, Kind::kRead);
        EXPECT_EQ(l[2].address, 0x37A);
        EXPECT_EQ(l[3].kind, Kind::kWrite);
        EXPECT_EQ(l[3].address, 0x37A);
        EXPECT_EQ(l[3].value, (pattern | recording::kControlFixed) & ~kDataDrive);
        EXPECT_EQ(l[4].address, 0x378);
        EXPECT_EQ(l[4].count, 1000U);
    }
}

TEST_F(TwoWireBus, SetAddressRaisesA2ThenLowersA1WithOneDelay) {
    for (std::uint8_t pattern : kPatterns) {
        SCOPED_TRACE(std::to_string(pattern));
        start(0x378, pattern, pattern);
        setAddress();
        const std::uint8_t raised = static_cast<std::uint8_t>(pattern | 0xC0);
        const std::vector<Access>& l = log();
        ASSERT_EQ(l.size(), 5U);
        EXPECT_EQ(l[0].kind, Kind::kRead);
        EXPECT_EQ(l[0].value, pattern);
        EXPECT_EQ(l[1].kind, Kind::kWrite);
        EXPECT_EQ(l[1].value, raised);
        EXPECT_EQ(l[2].kind, Kind::kRead);
        EXPECT_EQ(l[2].value, raised);
        EXPECT_EQ(l[2].count, 1U);
        EXPECT_EQ(l[3].kind, Kind::kWrite);
        EXPECT_EQ(l[3].value, raised & 0xDF);
        EXPECT_EQ(l[4].kind, Kind::kRead);
        EXPECT_EQ(l[4].count, 1000U);
        for (const Access& a : l) {
            EXPECT_EQ(a.address, 0x378);
        }
    }
}

// The start-up turns a bidirectional port's data lines forward: bit 0x20 of the control register
// cleared in one read-modify-write, every other bit written back as read, no busy wait.
TEST_F(TwoWireBus, DriveDataLinesClearsOnlyTheDirectionBitWithoutAWait) {
    for (std::uint8_t pattern : kPatterns) {
        SCOPED_TRACE(std::to_string(pattern));
        start(0x378, pattern, pattern);
        driveDataLines();
        const std::vector<Access>& l = log();
        ASSERT_EQ(l.size(), 2U);
        EXPECT_EQ(l[0].kind, Kind::kRead);
        EXPECT_EQ(l[0].address, 0x37A);
        EXPECT_EQ(l[0].count, 1U);
        EXPECT_EQ(l[1].kind, Kind::kWrite);
        EXPECT_EQ(l[1].address, 0x37A);
        EXPECT_EQ(l[1].value, (pattern | recording::kControlFixed) & 0xDF);
    }
}

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
        EXPECT_EQ(recording::Port().DataLatch(), c.after) << "from " << int{c.before};
        // Later clock changes touch nothing else.
        resetClk();
        EXPECT_EQ(recording::Port().DataLatch(), c.after & 0x7F);
        setClk();
        EXPECT_EQ(recording::Port().DataLatch(), c.after);
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
        EXPECT_EQ(recording::AllReads(log()), c.reads);
        EXPECT_EQ(recording::Reads(log(), c.base), c.reads);
        EXPECT_EQ(recording::AllWrites(log()), 0U);
        EXPECT_EQ(recording::Port().SleepCalls(), 0U);
    }
}

TEST_F(TwoWireBus, DelaySecSleepsWithoutTouchingThePort) {
    DelaySec(1);
    DelaySec(3);
    EXPECT_EQ(recording::Port().SleepCalls(), 2U);
    EXPECT_EQ(recording::Port().SleptSeconds(), 4U);
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
        {"Stop", Stop, 3, 0},
        {"Transmit", [] { static_cast<void>(Transmit(0xA5)); }, 28, 1},
        {"Receive", [] { static_cast<void>(Receive()); }, 24, 8},
        {"Nak", Nak, 3, 0},
        {"Ack", Ack, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startIdle();
        c.run();
        // Each line change is one read-modify-write and 1 ms of 1000 data-register reads.
        EXPECT_EQ(recording::AllWrites(log()), c.lineChanges);
        EXPECT_EQ(recording::Reads(log(), 0x379), c.samples);
        EXPECT_EQ(recording::AllReads(log()), c.lineChanges * 1001 + c.samples);
    }
}

TEST_F(TwoWireBus, StartAndStopConditionsOnTheWire) {
    startIdle();
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(wire(), "S");
    EXPECT_EQ(recording::Port().DataLatch() & kClock, 0) << "Start ends with the clock low";

    // A repeated start, entered with the clock low and the data line held low.
    start(0x378, 0x57, 0x0C);
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(wire(), "S");

    startIdle();
    static_cast<void>(Start());
    Stop();
    EXPECT_EQ(wire(), "SP");
    // Stop leaves the bus idle: clock high, data released.
    EXPECT_NE(recording::Port().DataLatch() & kClock, 0);
    EXPECT_EQ(recording::Port().ControlLatch() & kDataDrive, 0);
}

TEST_F(TwoWireBus, TransmitSendsEachBitMostSignificantFirstThenReleasesForTheNinthClock) {
    for (std::uint8_t byte : {std::uint8_t{0xA5}, std::uint8_t{0x00}, std::uint8_t{0xFF},
                              std::uint8_t{0x9A}, std::uint8_t{0x01}}) {
        SCOPED_TRACE(int{byte});
        startIdle();
        static_cast<void>(Start());
        recording::Port().ClearLog();
        recording::Port().ScriptDeviceLevels({0});
        EXPECT_EQ(Transmit(byte), 0);
        EXPECT_EQ(wire(), Bits(byte) + "1");
        EXPECT_EQ(recording::Port().DataLatch() & kClock, 0) << "the clock ends low";
    }
}

TEST_F(TwoWireBus, TransmitSamplesTheAcknowledgeOnceWhileTheNinthClockIsHigh) {
    const struct {
        int device;
        bool acknowledged;
    } cases[] = {{0, true}, {1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        startIdle();
        static_cast<void>(Start());
        recording::Port().ClearLog();
        recording::Port().ScriptDeviceLevels({c.device});
        const int status = Transmit(0xA5);
        if (c.acknowledged) {
            EXPECT_EQ(status, 0);
        } else {
            EXPECT_NE(status, 0);
        }
        EXPECT_EQ(recording::Port().ScriptedLevelsLeft(), 0U);

        // Find the one status read and the line levels around it.
        const std::vector<Access>& l = log();
        std::size_t sample = l.size();
        int samples = 0;
        int risingEdges = 0;
        bool clockHigh = false;
        bool released = true;
        for (std::size_t i = 0; i < l.size(); ++i) {
            const Access& a = l[i];
            if (a.address == 0x379) {
                samples += static_cast<int>(a.count);
                sample = i;
                EXPECT_TRUE(clockHigh) << "sampled with the clock low";
                EXPECT_TRUE(released) << "sampled while the master holds the line";
                EXPECT_EQ(risingEdges, 9) << "sampled before the ninth clock";
            } else if (a.kind == Kind::kWrite && a.address == 0x378) {
                const bool high = (a.value & kClock) != 0;
                risingEdges += (high && !clockHigh) ? 1 : 0;
                clockHigh = high;
            } else if (a.kind == Kind::kWrite && a.address == 0x37A) {
                released = (a.value & kDataDrive) == 0;
            }
        }
        EXPECT_EQ(samples, 1);
        ASSERT_LT(sample, l.size());
        // The clock falls right after the sample: no extra line change.
        ASSERT_LT(sample + 2, l.size());
        EXPECT_EQ(l[sample + 2].kind, Kind::kWrite);
        EXPECT_EQ(l[sample + 2].address, 0x378);
        EXPECT_EQ(l[sample + 2].value & kClock, 0);
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
        startIdle();
        static_cast<void>(Start());
        recording::Port().ScriptDeviceLevels({0});
        static_cast<void>(Transmit(0x9B));
        recording::Port().ClearLog();
        recording::Port().ScriptDeviceLevels(c.levels);
        EXPECT_EQ(Receive(), c.expected);
        EXPECT_EQ(recording::Port().ScriptedLevelsLeft(), 0U);
        // Eight clocks with the line released, no ninth.
        EXPECT_EQ(wire(), "11111111");

        // Every sample is taken while the clock is high.
        bool clockHigh = false;
        for (const Access& a : log()) {
            if (a.kind == Kind::kWrite && a.address == 0x378) {
                clockHigh = (a.value & kClock) != 0;
            } else if (a.address == 0x379) {
                EXPECT_TRUE(clockHigh);
            }
        }
    }
}

TEST_F(TwoWireBus, MasterAcknowledgeBits) {
    startIdle();
    static_cast<void>(Start());
    recording::Port().ClearLog();
    Nak();
    EXPECT_EQ(wire(), "1");

    startIdle();
    static_cast<void>(Start());
    recording::Port().ClearLog();
    Ack();
    EXPECT_EQ(wire(), "0");
}

}  // namespace
