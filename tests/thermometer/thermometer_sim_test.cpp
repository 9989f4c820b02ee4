// The driver against the simulated thermometer: every transaction and whole cycles as they
// appear on the two bus lines, a device that stops acknowledging, and readings across the
// sensor's whole range compared with the true temperature.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "bus/twowire.h"
#include "kit/simulated_bus.h"
#include "kit/transactions.h"
#include "sim/simulation.h"
#include "thermometer/thermometer.h"

namespace {

using namespace quorvane::sim;
using namespace quorvane::testkit;

constexpr std::uint64_t kAccessesPerLineChange = SimulatedBus::kAccessesPerLineChange;
constexpr std::uint16_t kPort = SimulatedBus::kPort;

// Port accesses of bus work: line changes, plus one status read per start condition (the line
// checked free), one per stop (the line checked let go), nine per byte sent (each bit checked,
// then the acknowledge) and eight per byte received.
constexpr std::uint64_t busAccesses(std::uint64_t lineChanges, std::uint64_t starts,
                                    std::uint64_t bytesSent, std::uint64_t bytesReceived,
                                    std::uint64_t stops = 1) {
    return lineChanges * kAccessesPerLineChange + starts + stops + 9 * bytesSent +
           8 * bytesReceived;
}

// A cycle on a chip that already keeps the one-shot bit: 867 line changes, 14 starts, 7 stops,
// 21 bytes sent and 7 received, then one second asleep.
constexpr std::uint64_t kConfiguredCycleAccesses =
    busAccesses(867, 14, 21, 7, 7) + SimulatedBus::kPowerAndAddressExtra;
// The first cycle adds the configuration write and its 100 ms wait.
constexpr std::uint64_t kConfigurationWriteAccesses =
    busAccesses(92, 1, 3, 0) + std::uint64_t{100} * 1000;

// Where the bytes the chip sent stand among the events: each follows an acknowledged read address.
std::vector<std::size_t> receivedAt(const std::vector<BusEvent>& events) {
    std::vector<std::size_t> at;
    for (std::size_t i = 2; i < events.size(); ++i) {
        if (events[i - 2].token == "9B" && events[i - 1].token == "a") {
            at.push_back(i);
        }
    }
    return at;
}

// What the master sees when the device acknowledges `acked` bytes of a good exchange and then no
// more: the next byte the master sends goes unacknowledged and the master stops. In the good
// exchange every byte the master sends is followed by "a"; the chip's bytes never are.
std::string cutAfterAcknowledges(const std::vector<BusEvent>& good, unsigned long acked) {
    std::string cut;
    unsigned long seen = 0;
    for (const BusEvent& e : good) {
        if (e.token == "a" && seen++ == acked) {
            return cut + " n P";
        }
        cut += (cut.empty() ? "" : " ") + e.token;
    }
    return cut;
}

class DriverOnSimulatedBus : public SimulatedBus {
  protected:
    // Starts again at 25.125 degrees (register 0x1900, count remain 10 of 16), on a fresh chip
    // or on one that a first cycle has configured.
    void startAt25(bool fresh) {
        SetUp();
        sim().setTemperature(25.125);
        if (!fresh) {
            configure();
        }
    }
    // Gaps between one transaction's stop and the next one's start.
    std::vector<Micros> pauses() const {
        std::vector<Micros> gaps;
        bool stopped = false;
        Micros stop = 0;
        for (const BusEvent& e : events()) {
            if (e.token == "P") {
                stopped = true;
                stop = e.time;
            } else if (e.token == "S" && stopped) {
                gaps.push_back(e.time - stop);
                stopped = false;
            }
        }
        return gaps;
    }
};

// --- Transactions ----------------------------------------------------------------------------

// What the chip holds, set up as below: its configuration done converting in one-shot mode, and
// the raw reading 0xE780, count remain 0x0B, count per degree 0x10. The low byte of the
// temperature register is never seen: a new read restarts the chip's answer.
constexpr ChipRegisters kChip{0x81, 0xE7, 0xE7, 0x0B, 0x10};

// Each transaction's row of kTransactions on the simulated port, where the analyser sees both
// sides of the bus; tests/thermometer/thermometer_test.cpp runs the same rows on the fake port.
class TransactionOnTheSimulatedPort : public DriverOnSimulatedBus,
                                      public ::testing::WithParamInterface<Transaction> {};

TEST_P(TransactionOnTheSimulatedPort, PutsItsSequenceOnTheBusAndStoresTheBytesReceived) {
    const Transaction& t = GetParam();
    configure();
    // Distinct register values, so that a byte taken from the wrong place shows.
    sim().setRawReading(Reading{0xE780, 0x0B, 0x10});
    ASSERT_EQ(StartConversion(5), 0);
    DelaySec(1);
    forget();

    const std::vector<std::uint8_t> sent = deviceAnswer(t, kChip);
    const std::uint64_t before = sim().portAccesses();
    const auto [status, value] = t.call(0x5A5A);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(value, valueOf(sent));
    EXPECT_EQ(bus(), busWith(t, sent));
    EXPECT_EQ(sim().portAccesses() - before,
              t.lineChanges * kAccessesPerLineChange + dataLineSamples(t));
    // Every transaction leaves the bus idle: both lines high, nobody pulling.
    EXPECT_TRUE(sim().lineState().scl);
    EXPECT_TRUE(sim().lineState().sda);
    EXPECT_FALSE(sim().lineState().masterPullsSdaLow);
    // Only the configuration write stores the one-shot bit again.
    EXPECT_EQ(sim().eepromWrites(), std::string_view(t.name) == "WriteCfg" ? 2U : 1U);
}

INSTANTIATE_TEST_SUITE_P(Transactions, TransactionOnTheSimulatedPort,
                         ::testing::ValuesIn(kTransactions), kByName);

// The first temperature byte gets no acknowledge clock of its own: the clock pulse that rises
// next, with the data line released, is the one on which the repeated start falls.
TEST_F(DriverOnSimulatedBus, RepeatedStartGivesTheNinthClockOfTheFirstTemperatureByte) {
    configure();
    std::uint16_t value = 0;
    ASSERT_EQ(ReadTemperature(5, &value), 0);
    const std::vector<BusEvent>& e = events();
    const std::vector<std::size_t> received = receivedAt(e);
    ASSERT_FALSE(received.empty()) << bus();
    const std::size_t firstByte = received[0];
    ASSERT_LT(firstByte + 1, e.size());
    ASSERT_EQ(e[firstByte + 1].token, "Sr") << bus();
    const Micros eighthFall = e[firstByte].time;
    const Micros repeatedStart = e[firstByte + 1].time;

    int rises = 0;
    bool previousScl = false;
    for (const LineState& s : trace()) {
        if (s.time > eighthFall && s.time <= repeatedStart && s.scl && !previousScl) {
            ++rises;
            EXPECT_TRUE(s.sda) << "the line is released when the ninth clock rises";
            EXPECT_FALSE(s.masterPullsSdaLow);
            EXPECT_FALSE(s.devicePullsSdaLow);
        }
        previousScl = s.scl;
    }
    EXPECT_EQ(rises, 1);
}

// --- Whole cycles ----------------------------------------------------------------------------

TEST_F(DriverOnSimulatedBus, WholeCycleOnAFreshAndOnAConfiguredChip) {
    const Transaction& readCfg = transactionNamed("ReadCfg");
    const std::string readCfgFresh = busWith(readCfg, {0x00});
    const std::string writeCfg = busWith(transactionNamed("WriteCfg"), {});
    const std::string readCfgDone = busWith(readCfg, {0x81});
    const std::string rest = busWith(transactionNamed("StartConversion"), {}) + " " + readCfgDone +
                             " " + busWith(transactionNamed("ReadTemperature"), {0x19, 0x19}) +
                             " " + busWith(transactionNamed("ReadCounter"), {0x0A}) + " " +
                             busWith(transactionNamed("ReadSlope"), {0x10}) + " " + readCfgDone;
    constexpr Micros kBetween = 3 * kMicrosPerMilli;  // stop's wait, start's first two changes
    // The port powers on with Select-In set, as Linux leaves it, which holds SDA low until
    // applyPower releases it with SCL high: a stop on the idle bus, a setAddress before the start.
    const std::string powerUp = "P ";
    constexpr Micros kAfterPowerUp = kBetween + kMicrosPerMilli;
    const struct {
        const char* name;
        bool fresh;
        std::string bus;
        std::vector<Micros> pauses;  // each at least this, and under 5 ms more
        std::uint64_t accesses;
    } cases[] = {
        {"fresh chip",
         true,
         powerUp + readCfgFresh + " " + writeCfg + " " + rest,
         {kAfterPowerUp, kBetween, kBetween + 100 * kMicrosPerMilli, kBetween + kMicrosPerSecond,
          kBetween, kBetween, kBetween, kBetween},
         kConfiguredCycleAccesses + kConfigurationWriteAccesses},
        {"configured chip",
         false,
         readCfgDone + " " + rest,
         {kBetween, kBetween + kMicrosPerSecond, kBetween, kBetween, kBetween, kBetween},
         kConfiguredCycleAccesses},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startAt25(c.fresh);
        const Micros start = sim().clock();
        const std::uint64_t accessesBefore = sim().portAccesses();
        std::int16_t tenths = 0;
        ASSERT_EQ(Temperature(kPort, &tenths), 0);
        EXPECT_EQ(tenths, 251);
        EXPECT_EQ(bus(), c.bus);
        EXPECT_EQ(sim().eepromWrites(), 1U);

        const std::vector<Micros> gaps = pauses();
        ASSERT_EQ(gaps.size(), c.pauses.size());
        for (std::size_t i = 0; i < gaps.size(); ++i) {
            EXPECT_GE(gaps[i], c.pauses[i]) << "pause " << i;
            EXPECT_LT(gaps[i], c.pauses[i] + 5 * kMicrosPerMilli) << "pause " << i;
        }
        EXPECT_EQ(sim().portAccesses() - accessesBefore, c.accesses);
        EXPECT_EQ(sim().clock() - start, static_cast<Micros>(c.accesses) + kMicrosPerSecond);
    }
}

TEST_F(DriverOnSimulatedBus,
       OnlyTheFirstCycleWritesTheConfigurationAndCyclesTakeAboutOneAndSevenEighthsSeconds) {
    sim().setTemperature(21.3);
    std::vector<Micros> durations;
    for (int cycle = 0; cycle < 4; ++cycle) {
        const Micros start = sim().clock();
        std::int16_t tenths = 0;
        ASSERT_EQ(Temperature(kPort, &tenths), 0);
        EXPECT_EQ(tenths, 213);
        EXPECT_EQ(sim().eepromWrites(), 1U) << "cycle " << cycle;
        durations.push_back(sim().clock() - start);
    }
    const Micros configured = static_cast<Micros>(kConfiguredCycleAccesses) + kMicrosPerSecond;
    EXPECT_GE(configured, 1850 * kMicrosPerMilli);
    EXPECT_LE(configured, 1900 * kMicrosPerMilli);
    EXPECT_EQ(durations[0], configured + static_cast<Micros>(kConfigurationWriteAccesses));
    for (std::size_t i = 1; i < durations.size(); ++i) {
        EXPECT_EQ(durations[i], configured) << "cycle " << i;
    }
}

// --- A device that does not acknowledge --------------------------------------------------------

TEST_F(DriverOnSimulatedBus, DeviceThatNeverAcknowledgesFailsEveryTransaction) {
    configure();
    sim().setNeverAcknowledge(true);
    // Every transaction, then a whole cycle.
    for (std::size_t i = 0; i <= std::size(kTransactions); ++i) {
        const bool cycle = i == std::size(kTransactions);
        SCOPED_TRACE(cycle ? "Temperature" : kTransactions[i].name);
        forget();
        const Micros sleptBefore = slept();
        std::int16_t tenths = 1234;
        const auto [status, value] = cycle ? TransactionResult{Temperature(kPort, &tenths), 0}
                                           : kTransactions[i].call(0x5A5A);
        EXPECT_NE(status, 0);
        EXPECT_EQ(value, 0U);  // the reads store 0 for a byte never received
        EXPECT_EQ(tenths, cycle ? 0 : 1234);
        EXPECT_EQ(bus(), "S 9A n P");
        EXPECT_EQ(slept(), sleptBefore);
        EXPECT_EQ(sim().eepromWrites(), 1U);
    }
}

// The device acknowledges k bytes and then no more, for every k that falls inside a cycle: the
// cycle stops at the first byte left unacknowledged, releases the bus and stores 0. Once the
// device answers again, the next cycle reads the temperature.
TEST_F(DriverOnSimulatedBus, DeviceThatStopsAcknowledgingPartWayThroughACycle) {
    for (const bool fresh : {true, false}) {
        // Run one good cycle to learn the exchange and how many bytes the device acknowledges.
        startAt25(fresh);
        std::int16_t tenths = 0;
        ASSERT_EQ(Temperature(kPort, &tenths), 0);
        const std::vector<BusEvent> good = events();
        const auto allAcked = static_cast<unsigned long>(std::count_if(
            good.begin(), good.end(), [](const BusEvent& e) { return e.token == "a"; }));
        ASSERT_EQ(allAcked, fresh ? 24U : 21U) << bus();

        for (unsigned long k = 0; k <= allAcked; ++k) {
            SCOPED_TRACE(std::string(fresh ? "fresh" : "configured") + " chip, acknowledges " +
                         std::to_string(k));
            startAt25(fresh);
            sim().stopAcknowledgingAfter(k);
            const Micros sleptBefore = slept();
            tenths = 1234;
            const int status = Temperature(kPort, &tenths);
            EXPECT_EQ(bus(), cutAfterAcknowledges(good, k));
            if (k < allAcked) {
                EXPECT_NE(status, 0);
                EXPECT_EQ(tenths, 0);
            } else {
                EXPECT_EQ(status, 0);
                EXPECT_EQ(tenths, 251);
            }
            // The one-shot bit is stored once its data byte is acknowledged (the sixth byte);
            // the conversion sleep follows an acknowledged start command (the eighth, or the fifth
            // on a configured chip).
            EXPECT_EQ(sim().eepromWrites(), (!fresh || k >= 6) ? 1U : 0U);
            EXPECT_EQ(slept() - sleptBefore, (k >= (fresh ? 8U : 5U)) ? kMicrosPerSecond : 0);
            EXPECT_TRUE(sim().lineState().scl);
            EXPECT_TRUE(sim().lineState().sda);

            sim().stopAcknowledgingAfter(std::nullopt);
            forget();
            EXPECT_EQ(Temperature(kPort, &tenths), 0);
            EXPECT_EQ(tenths, 251);
            EXPECT_EQ(sim().eepromWrites(), 1U);
        }
    }
}

// --- Readings --------------------------------------------------------------------------------

// Raw registers carried over the bus: the bytes on the wire are the chip's, and the driver's
// tenths are what the arithmetic makes of them.
TEST_F(DriverOnSimulatedBus, RawRegistersThroughTheBus) {
    const struct {
        Reading raw;
        std::int16_t tenths;
        const char* why;
    } cases[] = {
        {{0xFB00, 12, 16}, -50, "the whole-degree byte is two's complement"},
        {{0x1900, 10, 16}, 251, "25.125"},
        {{0x1900, 10, 0}, 248, "no count per degree: 24.75, the half goes up"},
        {{0x1900, 0, 0}, 248, "no count per degree: the count remain does not matter"},
        {{0x0000, 16, 16}, -3, "-0.25: the half goes away from zero"},
        {{0x1980, 6, 10}, 251, "25.15 held in single precision is just below the half"},
        {{0xFF80, 4, 16}, -5, "-0.5"},
        {{0x7D00, 12, 16}, 1250, "+125, the top of the range"},
        {{0xC900, 12, 16}, -550, "-55, the bottom of the range"},
    };
    configure();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        sim().setRawReading(c.raw);
        forget();
        std::int16_t tenths = 0;
        ASSERT_EQ(Temperature(kPort, &tenths), 0);
        EXPECT_EQ(tenths, c.tenths);
        const std::string msb = hexByte(c.raw.temperature >> 8U);
        const std::vector<std::string> expected = {hexByte(sim().registers().config),
                                                   hexByte(sim().registers().config),
                                                   msb,
                                                   msb,
                                                   hexByte(c.raw.countRemain),
                                                   hexByte(c.raw.countPerC),
                                                   hexByte(sim().registers().config)};
        // The first configuration read comes before the conversion; only DONE may differ.
        std::vector<std::string> got;
        for (const std::size_t at : receivedAt(events())) {
            got.push_back(events()[at].token);
        }
        ASSERT_EQ(got.size(), expected.size()) << bus();
        got[0] = expected[0];
        EXPECT_EQ(got, expected) << bus();
    }
}

// Registers no working chip holds fail the cycle: as the chip sends them, or when the chip lost
// its supply during the conversion and says, a second after it began, that it has none.
TEST_F(DriverOnSimulatedBus, RegistersNoChipHoldsFailTheCycle) {
    const struct {
        Reading raw;
        const char* why;
    } cases[] = {
        {{0x1400, 20, 16}, "count remain above count per degree"},
        {{0x0000, 9, 5}, "count remain 9 of 5, which would show -1.0"},
        {{0x7E00, 12, 16}, "+126, above the range"},
        {{0xC880, 12, 16}, "-55.5, below it"},
    };
    configure();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        sim().setRawReading(c.raw);
        std::int16_t tenths = 1234;
        EXPECT_NE(Temperature(kPort, &tenths), 0);
        EXPECT_EQ(tenths, 0);
    }
    sim().setRawReading(std::nullopt);
    sim().setTemperature(21.5);
    // Power gone for 5 ms in the middle of the conversion: the chip comes back idle, its
    // registers empty, and would show -0.3.
    const Micros start = sim().clock();
    sim().scheduleFaults(
        {{Fault::Unpowered, start + 500 * kMicrosPerMilli, start + 505 * kMicrosPerMilli}});
    std::int16_t tenths = 1234;
    EXPECT_NE(Temperature(kPort, &tenths), 0);
    sim().clearFaults();
    EXPECT_EQ(Temperature(kPort, &tenths), 0);
    EXPECT_EQ(tenths, 215);
}

// True temperatures across the sensor's range, in bands run in parallel: every 0.02 degree, and
// on both sides of each point where the chip's half-degree register steps.
struct Band {
    int firstStep;  // in steps of 0.02 from -55
    int lastStep;
};

void PrintTo(const Band& band, std::ostream* out) {
    *out << "steps " << band.firstStep << ".." << band.lastStep;
}

class ReadingsAcrossTheRange : public DriverOnSimulatedBus,
                               public ::testing::WithParamInterface<Band> {};

TEST_P(ReadingsAcrossTheRange, TenthsFollowTheTrueTemperature) {
    const Band band = GetParam();
    const double low = (band.firstStep - 2750) / 50.0;
    const double high = (band.lastStep - 2750) / 50.0;
    std::vector<double> temperatures;
    for (int step = band.firstStep; step <= band.lastStep; ++step) {
        temperatures.push_back((step - 2750) / 50.0);
    }
    // The register steps at odd quarters (halves round up) and TEMP_READ at n - 0.25.
    for (int quarter = -219; quarter <= 499; quarter += 2) {
        const double edge = quarter / 4.0;
        for (double t : {std::nextafter(edge, -1000.0), edge, std::nextafter(edge, 1000.0)}) {
            if (t >= low && t <= high && t >= -55.0 && t <= 125.0) {
                temperatures.push_back(t);
            }
        }
    }
    for (const double t : temperatures) {
        sim().setTemperature(t);
        std::int16_t tenths = 0;
        ASSERT_EQ(Temperature(kPort, &tenths), 0) << t;
        const Reading r = sim().registers().reading;
        ASSERT_EQ(tenths, TenthsFromRegisters(static_cast<std::uint8_t>(r.temperature >> 8U),
                                              r.countRemain, r.countPerC))
            << t;
        const double error = std::fabs(tenths - t * 10);
        ASSERT_LE(error, 1.0) << "true " << t << ", read " << tenths;
        forget();
    }
    EXPECT_EQ(sim().eepromWrites(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Bands, ReadingsAcrossTheRange,
                         ::testing::Values(Band{0, 1499}, Band{1500, 2999}, Band{3000, 4499},
                                           Band{4500, 5999}, Band{6000, 7499}, Band{7500, 9000}),
                         [](const ::testing::TestParamInfo<Band>& p) {
                             const auto name = [](int step) {
                                 const int degrees = step / 50 - 55;
                                 return (degrees < 0 ? "minus" : "plus") +
                                        std::to_string(std::abs(degrees));
                             };
                             return "from_" + name(p.param.firstStep) + "_to_" +
                                    name(p.param.lastStep + 1);
                         });

}  // namespace
