// Start frees a data line that a device still holds low (it was left in the middle of a byte)
// by clocking it with the line released, and fails when nine pulses do not free it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "bus/twowire.h"
#include "kit/fake_port.h"
#include "thermometer/thermometer.h"

namespace {

using namespace quorvane::testkit;

constexpr std::uint16_t kData = 0x378;
constexpr std::uint16_t kControl = 0x37A;

// A bus whose clock is high, as after power and the address set-up, and whose device holds the
// data line low for this many falling clock edges (negative: for ever).
void resetWithLineHeld(int falls) {
    fakePort().reset(kData, 0x80, 0x04);
    fakePort().holdDataLowForFalls(falls);
    port = kData;
}

std::vector<Access> writesLogged() {
    std::vector<Access> writes;
    for (const Access& a : fakePort().log()) {
        if (a.kind == Kind::Write) {
            writes.push_back(a);
        }
    }
    return writes;
}

bool clockHigh() {
    return (fakePort().dataLatch() & 0x80) != 0;
}
bool masterPullsLow() {
    return (fakePort().controlLatch() & 0x08) != 0;
}

struct HeldCase {
    int releaseAfterFalls;  // negative: never
    int expectedPulses;
    bool succeeds;
};

void PrintTo(const HeldCase& c, std::ostream* os) {
    *os << "releaseAfterFalls=" << c.releaseAfterFalls;
}

std::string caseName(const ::testing::TestParamInfo<HeldCase>& info) {
    const int n = info.param.releaseAfterFalls;
    return n < 0 ? std::string("Never") : "UntilFall" + std::to_string(n);
}

class StartWithHeldLine : public ::testing::TestWithParam<HeldCase> {
  protected:
    void SetUp() override { resetWithLineHeld(GetParam().releaseAfterFalls); }
};

TEST_P(StartWithHeldLine, PulsesUntilFreeThenMakesStartOrFails) {
    const HeldCase& c = GetParam();
    const int status = Start();
    const std::vector<Access> writes = writesLogged();

    EXPECT_EQ(status == 0, c.succeeds);
    // setData and setClk, two line operations per pulse, then the three of the start condition.
    const int tail = c.succeeds ? 3 : 0;
    EXPECT_EQ(writes.size(), static_cast<std::size_t>(2 + 2 * c.expectedPulses + tail));
    EXPECT_EQ(fakePort().clockFalls(), c.expectedPulses + (c.succeeds ? 1 : 0));
    // The line is read once, then once after each pulse, always while the clock is high.
    EXPECT_EQ(countAccesses(fakePort().log(), Kind::Read, 0x379),
              static_cast<std::uint64_t>(1 + c.expectedPulses));
    EXPECT_EQ(fakePort().samplesWithClockLow(), 0U);

    // Until the start condition the master never pulls the data line: every control write before
    // it has the drive bit clear, and every data-register write keeps everything but the clock.
    const std::size_t beforeStart = 2 + 2 * static_cast<std::size_t>(c.expectedPulses);
    for (std::size_t i = 0; i < beforeStart && i < writes.size(); ++i) {
        const Access& w = writes[i];
        if (w.address == kControl) {
            EXPECT_EQ(w.value & 0x08, 0) << "write " << i;
        } else {
            EXPECT_EQ(w.address, kData) << "write " << i;
            EXPECT_EQ(w.value & 0x7F, 0x00) << "write " << i;
        }
    }

    if (c.succeeds) {
        // The start condition: data pulled low while the clock is high, then the clock lowered.
        const Access& pull = writes[beforeStart];
        EXPECT_EQ(pull.address, kControl);
        EXPECT_EQ(pull.value & 0x08, 0x08);
        EXPECT_EQ(writes[beforeStart - 1].address, kData);
        EXPECT_EQ(writes[beforeStart - 1].value & 0x80, 0x80);
        EXPECT_FALSE(clockHigh());
        EXPECT_TRUE(masterPullsLow());
    } else {
        // Nothing is driven: the clock stays high and the data line released, the bus idle.
        EXPECT_TRUE(clockHigh());
        EXPECT_FALSE(masterPullsLow());
    }
}

INSTANTIATE_TEST_SUITE_P(HeldFor, StartWithHeldLine,
                         ::testing::Values(HeldCase{0, 0, true}, HeldCase{1, 1, true},
                                           HeldCase{2, 2, true}, HeldCase{5, 5, true},
                                           HeldCase{8, 8, true}, HeldCase{9, 9, true},
                                           HeldCase{10, 9, false}, HeldCase{-1, 9, false}),
                         caseName);

TEST(StartOnFreeBus, MakesTheStartConditionInFiveLineChangesAndOneSample) {
    resetWithLineHeld(0);
    ASSERT_EQ(Start(), 0);
    // setData, setClk, resetData, resetData, resetClk; the control register's fixed bits 0xC0
    // are written back as read.
    EXPECT_EQ(writesLogged(), (std::vector<Access>{{Kind::Write, kControl, 0xC4, 1},
                                                   {Kind::Write, kData, 0x80, 1},
                                                   {Kind::Write, kControl, 0xCC, 1},
                                                   {Kind::Write, kControl, 0xCC, 1},
                                                   {Kind::Write, kData, 0x00, 1}}));
    EXPECT_EQ(countAccesses(fakePort().log(), Kind::Read, 0x379), 1U);
}

// A transaction whose first Start cannot free the bus fails at once: no stop condition, and the
// out value is left as it was.
TEST(StartOnStuckLine, TransactionFailsWithoutStopAndKeepsOutValue) {
    resetWithLineHeld(-1);
    std::uint8_t cfg = 0x5A;
    EXPECT_NE(ReadCfg(5, &cfg), 0);
    EXPECT_EQ(cfg, 0x5A);
    for (const Access& w : writesLogged()) {
        if (w.address == kControl) {
            EXPECT_EQ(w.value & 0x08, 0);
        }
    }
}

}  // namespace
