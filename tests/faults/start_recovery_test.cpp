// Start frees a data line that a device still holds low (it was left in the middle of a byte)
// by clocking it with the line released, and fails when nine pulses do not free it.
#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>

#include "bus/twowire.h"
#include "faults/held_line_port.h"
#include "thermometer/thermometer.h"

namespace {

using quorvane::test::heldLinePort;
using quorvane::test::HeldLinePort;
using quorvane::test::resetHeldLinePort;

constexpr std::uint16_t kData = HeldLinePort::kBase;
constexpr std::uint16_t kControl = HeldLinePort::kBase + 2;

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
    void SetUp() override {
        resetHeldLinePort(GetParam().releaseAfterFalls);
        port = HeldLinePort::kBase;
    }
};

TEST_P(StartWithHeldLine, PulsesUntilFreeThenMakesStartOrFails) {
    const HeldCase& c = GetParam();
    const int status = Start();
    const HeldLinePort& p = heldLinePort();

    EXPECT_EQ(status == 0, c.succeeds);
    // setData and setClk, two line operations per pulse, then the three of the start condition.
    const int tail = c.succeeds ? 3 : 0;
    EXPECT_EQ(p.writes.size(), static_cast<std::size_t>(2 + 2 * c.expectedPulses + tail));
    EXPECT_EQ(p.falls, c.expectedPulses + (c.succeeds ? 1 : 0));
    // The line is read once, then once after each pulse, always while the clock is high.
    EXPECT_EQ(p.statusReads, 1 + c.expectedPulses);
    for (const bool clockHigh : p.clockAtStatusRead) {
        EXPECT_TRUE(clockHigh);
    }

    // Until the start condition the master never pulls the data line: every control write before
    // it has the drive bit clear, and every data-register write keeps everything but the clock.
    const std::size_t beforeStart = 2 + 2 * static_cast<std::size_t>(c.expectedPulses);
    for (std::size_t i = 0; i < beforeStart && i < p.writes.size(); ++i) {
        const auto& w = p.writes[i];
        if (w.address == kControl) {
            EXPECT_EQ(w.value & 0x08, 0) << "write " << i;
        } else {
            EXPECT_EQ(w.address, kData) << "write " << i;
            EXPECT_EQ(w.value & 0x7F, 0x00) << "write " << i;
        }
    }

    if (c.succeeds) {
        // The start condition: data pulled low while the clock is high, then the clock lowered.
        const auto& pull = p.writes[beforeStart];
        EXPECT_EQ(pull.address, kControl);
        EXPECT_EQ(pull.value & 0x08, 0x08);
        EXPECT_EQ(p.writes[beforeStart - 1].address, kData);
        EXPECT_EQ(p.writes[beforeStart - 1].value & 0x80, 0x80);
        EXPECT_FALSE(p.clockHigh());
        EXPECT_TRUE(p.masterPullsLow());
    } else {
        // Nothing is driven: the clock stays high and the data line released, the bus idle.
        EXPECT_TRUE(p.clockHigh());
        EXPECT_FALSE(p.masterPullsLow());
    }
}

INSTANTIATE_TEST_SUITE_P(HeldFor, StartWithHeldLine,
                         ::testing::Values(HeldCase{0, 0, true}, HeldCase{1, 1, true},
                                           HeldCase{2, 2, true}, HeldCase{5, 5, true},
                                           HeldCase{8, 8, true}, HeldCase{9, 9, true},
                                           HeldCase{10, 9, false}, HeldCase{-1, 9, false}),
                         caseName);

TEST(StartOnFreeBus, SameFiveLineOperationsAsBefore) {
    resetHeldLinePort(0);
    port = HeldLinePort::kBase;
    ASSERT_EQ(Start(), 0);
    const HeldLinePort& p = heldLinePort();
    ASSERT_EQ(p.writes.size(), 5U);
    // setData, setClk, resetData, resetData, resetClk.
    EXPECT_EQ(p.writes[0].address, kControl);
    EXPECT_EQ(p.writes[0].value, 0x04);
    EXPECT_EQ(p.writes[1].address, kData);
    EXPECT_EQ(p.writes[1].value, 0x80);
    EXPECT_EQ(p.writes[2].address, kControl);
    EXPECT_EQ(p.writes[2].value, 0x0C);
    EXPECT_EQ(p.writes[3].address, kControl);
    EXPECT_EQ(p.writes[3].value, 0x0C);
    EXPECT_EQ(p.writes[4].address, kData);
    EXPECT_EQ(p.writes[4].value, 0x00);
    EXPECT_EQ(p.statusReads, 1);
}

// A transaction whose first Start cannot free the bus fails at once: no stop condition, and the
// out value is left as it was.
TEST(StartOnStuckLine, TransactionFailsWithoutStopAndKeepsOutValue) {
    resetHeldLinePort(-1);
    port = HeldLinePort::kBase;
    std::uint8_t cfg = 0x5A;
    EXPECT_NE(ReadCfg(5, &cfg), 0);
    EXPECT_EQ(cfg, 0x5A);
    const HeldLinePort& p = heldLinePort();
    for (const auto& w : p.writes) {
        if (w.address == kControl) {
            EXPECT_EQ(w.value & 0x08, 0);
        }
    }
}

}  // namespace
