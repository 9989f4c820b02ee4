// Faults of the wires and of the chip, each judged by what the user sees: a failed cycle prints
// "Error reading thermometer" with its time stamp, never a wrong temperature; the program keeps
// measuring; and the first cycle after the fault ends shows the right temperature again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "frontend/console.h"
#include "kit/files.h"
#include "kit/shown_line.h"
#include "sim/simulation.h"

namespace {

using namespace quorvane::sim;

// One printed line, taken apart.
struct ShownLine {
    std::string text;
    bool error = false;             // "\nError reading thermometer <time stamp>"
    std::optional<double> celsius;  // the value of a measurement line in degrees C
    bool wellFormed = false;        // one of the two forms, with a valid time stamp
};

ShownLine parseShownLine(const std::string& text) {
    ShownLine shown;
    shown.text = text;
    shown.error = text.starts_with(quorvane::testkit::kErrorLine);
    if (const auto line = quorvane::testkit::parseShownLine(text)) {
        shown.wellFormed = line->error || line->unit == 'C';
        if (!line->error && line->unit == 'C') {
            shown.celsius = line->value;
        }
    }
    return shown;
}

// A fresh simulated chip at `celsius`, access to the port granted, sleeps skipped.
void freshSimulation(double celsius) {
    Simulation& s = simulation();
    s.reset();
    s.setRealSleep(false);
    s.setTemperature(celsius);
    ASSERT_EQ(RequestPortAccess(0x378, 3, 1), 0);
    port = 0x378;
}

// One turn of the measurement loop (Celsius, no log), in-process; what it printed.
ShownLine runCycle() {
    static char lineBuffer[kLineBufferSize];
    std::int64_t lastLogTime = 0;
    return parseShownLine(
        quorvane::testkit::printedBy([&] { MeasurementCycle(0, -1, &lastLogTime, lineBuffer); }));
}

// A measurement line showing the true temperature to the display's precision: the chip's counts
// resolve 1/16 degree and the line shows tenths.
bool showsTemperature(const ShownLine& line, double trueCelsius) {
    // 1/32 degree from the chip's counts, 0.05 from showing tenths.
    return line.celsius && std::fabs(*line.celsius - trueCelsius) <= 0.05 + 1.0 / 32 + 1e-9;
}

constexpr double kTrue = 21.3;
constexpr int kFaultyCycles = 3;

struct FaultCase {
    const char* name;
    std::function<void(Simulation&)> apply;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

// Faults that hold for whole cycles: every cycle under them fails.
const FaultCase kSteadyFaults[] = {
    {"NoDevice", [](Simulation& s) { s.setDevicePresent(false); }},
    {"DeviceUnpowered", [](Simulation& s) { s.setSupplyBroken(true); }},
    {"SdaStuckHigh", [](Simulation& s) { s.setSdaStuck(SdaStuck::High); }},
    {"SdaStuckLow", [](Simulation& s) { s.setSdaStuck(SdaStuck::Low); }},
    {"DeviceAtAnotherAddress", [](Simulation& s) { s.strapAddress(std::uint8_t{7}); }},
    {"DeviceNeverAcknowledges", [](Simulation& s) { s.setNeverAcknowledge(true); }},
};

void expectErrorLine(const ShownLine& line, int cycle) {
    EXPECT_TRUE(line.error) << "cycle " << cycle << " printed "
                            << testing::PrintToString(line.text);
    EXPECT_TRUE(line.wellFormed) << testing::PrintToString(line.text);
    EXPECT_FALSE(line.celsius.has_value());
}

void expectReading(const ShownLine& line, double trueCelsius) {
    EXPECT_TRUE(line.wellFormed) << testing::PrintToString(line.text);
    EXPECT_TRUE(showsTemperature(line, trueCelsius))
        << "expected about " << trueCelsius << ", printed " << testing::PrintToString(line.text);
}

// The judge of every case below: what counts as an error line and as a reading.
TEST(ShownLineParser, TellsErrorLinesReadingsAndAnythingElseApart) {
    const ShownLine error = parseShownLine("\nError reading thermometer 09:05:59 12/31/2024");
    EXPECT_TRUE(error.error && error.wellFormed && !error.celsius);
    const ShownLine reading = parseShownLine("\n-0.3 C 23:00:00 01/01/2025");
    EXPECT_TRUE(!reading.error && reading.wellFormed && reading.celsius == -0.3);
    EXPECT_EQ(parseShownLine("\n 5.0 C 00:00:00 02/28/2025").celsius, 5.0);
    for (const char* bad : {"", "\n", "Error reading thermometer 09:05:59 12/31/2024",
                            "\n21.3 F 09:05:59 12/31/2024", "\n21.25 C 09:05:59 12/31/2024",
                            "\n21 C 09:05:59 12/31/2024", "\n21.3 C 25:05:59 12/31/2024",
                            "\n21.3 C 09:05:59 13/31/2024", "\n21.3 C 09:05:59 12/31/24",
                            "\nError reading thermometer ", "\n21.3 C 09:05:59 12/31/2024\n"}) {
        const ShownLine shown = parseShownLine(bad);
        EXPECT_FALSE(shown.wellFormed) << testing::PrintToString(std::string(bad));
    }
}

class SteadyFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SteadyFault, ErrorLinesWhileItLastsThenTheRightTemperature) {
    freshSimulation(kTrue);
    // The chip has been in service: configured by an earlier run.
    expectReading(runCycle(), kTrue);

    GetParam().apply(simulation());
    for (int cycle = 0; cycle < kFaultyCycles; ++cycle) {
        expectErrorLine(runCycle(), cycle);
    }
    simulation().clearFaults();
    expectReading(runCycle(), kTrue);
    expectReading(runCycle(), kTrue);
}

// A fault present from the first cycle of a fresh chip, before it was ever configured.
TEST_P(SteadyFault, FromTheFirstCycleOfAFreshChip) {
    freshSimulation(-7.8);
    GetParam().apply(simulation());
    expectErrorLine(runCycle(), 0);
    simulation().clearFaults();
    expectReading(runCycle(), -7.8);
    EXPECT_EQ(simulation().eepromWrites(), 1U);
}

std::string faultName(const testing::TestParamInfo<FaultCase>& fault) {
    return fault.param.name;
}

INSTANTIATE_TEST_SUITE_P(Wires, SteadyFault, testing::ValuesIn(kSteadyFaults), faultName);

// Port accesses of one cycle on a configured chip, for placing faults inside a cycle.
std::uint64_t accessesOfOneCycle() {
    freshSimulation(kTrue);
    runCycle();
    const std::uint64_t before = simulation().portAccesses();
    runCycle();
    return simulation().portAccesses() - before;
}

// Power goes at some point inside a cycle and comes back before the next: that cycle fails and
// the next one is right. The points lie before the cycle's last transaction, the configuration
// read after the registers: a supply lost while its byte is clocked in reads as 1 bits, DONE
// among them, and no acknowledge follows it that could tell (the registers read before are
// right).
TEST(PowerLostMidCycle, ThatCycleFailsAndTheNextIsRight) {
    const std::uint64_t perCycle = accessesOfOneCycle();
    ASSERT_GT(perCycle, 100000U);
    constexpr int kPoints = 40;
    // The last one-byte read and the stop after it are the last 124 of about 869 line changes.
    const std::uint64_t span = perCycle - perCycle * 124 / 869;
    for (int i = 0; i < kPoints; ++i) {
        const std::uint64_t at = 1 + span * static_cast<std::uint64_t>(i) / kPoints;
        SCOPED_TRACE("power lost at access " + std::to_string(at) + " of " +
                     std::to_string(perCycle));
        freshSimulation(kTrue);
        expectReading(runCycle(), kTrue);
        simulation().atAccess(at, [](Simulation& s) { s.setSupplyBroken(true); });
        expectErrorLine(runCycle(), 0);
        simulation().clearFaults();
        expectReading(runCycle(), kTrue);
        expectReading(runCycle(), kTrue);
    }
}

// The device acknowledges a number of bytes and then no more, for every number of bytes a cycle
// has: the cycle that runs out fails, so do the cycles after it, and the first cycle after the
// fault is lifted is right.
TEST(StopsAcknowledging, AfterEveryNumberOfBytesOfACycle) {
    // A cycle on a fresh chip acknowledges 24 bytes: 3 per one-byte read, 3 for the
    // configuration write, 2 for the start of the conversion, 4 for the temperature.
    for (unsigned long bytes = 0; bytes < 24; ++bytes) {
        SCOPED_TRACE("acknowledges " + std::to_string(bytes) + " bytes");
        freshSimulation(kTrue);
        simulation().stopAcknowledgingAfter(bytes);
        expectErrorLine(runCycle(), 0);
        expectErrorLine(runCycle(), 1);
        simulation().clearFaults();
        expectReading(runCycle(), kTrue);
        EXPECT_EQ(simulation().eepromWrites(), 1U);
    }
    // With enough acknowledges the cycle completes.
    freshSimulation(kTrue);
    simulation().stopAcknowledgingAfter(24);
    expectReading(runCycle(), kTrue);
    expectErrorLine(runCycle(), 1);
}

// Count per degree reading 0 leaves the driver without the fine counts: the line then shows the
// whole-degree reading less a quarter of a degree. That is coarse, never above the true
// temperature and less than a degree below it, and it is a reading, not an error. The fine value
// returns with the first conversion after the register does.
TEST(CountPerDegreeZero, CoarseButNeverAboveTheTrueTemperature) {
    for (const double t : {21.3, 21.74, 22.0, -0.2, -10.6, 0.0, 99.9}) {
        SCOPED_TRACE("true " + std::to_string(t));
        freshSimulation(t);
        simulation().setCountPerC(0);
        const ShownLine coarse = runCycle();
        ASSERT_TRUE(coarse.celsius.has_value()) << testing::PrintToString(coarse.text);
        EXPECT_TRUE(coarse.wellFormed);
        // The whole degrees of the register, as the chip rounds t to halves, less 0.25, shown to
        // tenths with halves away from zero.
        const double whole = std::floor(t + 0.25);
        const double expected = std::round((whole - 0.25) * 10) / 10;
        EXPECT_DOUBLE_EQ(*coarse.celsius, expected);
        EXPECT_LE(*coarse.celsius, t + 0.05);
        EXPECT_GT(*coarse.celsius, t - 1.0);

        simulation().setCountPerC(16);
        expectReading(runCycle(), t);
    }
}

}  // namespace

// A bidirectional port that another program left turned around (control bit 0x20 set) neither
// powers nor clocks the chip. The start-up turns it forward, with one read-modify-write of the
// control register that changes no line, and measuring works; without it every cycle fails.
TEST(PortLeftTurnedAround, WorksOnlyOnceTheStartUpDrivesTheDataLines) {
    const struct {
        const char* name;
        bool bidirectional;
        bool drive;
        bool measures;
    } cases[] = {
        {"plain port", false, true, true},
        {"bidirectional port, as the programs start", true, true, true},
        {"bidirectional port, left as it is", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshSimulation(kTrue);
        Simulation& sim = simulation();
        sim.setPortModes({.bidirectional = c.bidirectional});
        sim.output(0x37A, 0x2C);
        int lineChanges = 0;
        sim.setLineObserver([&lineChanges](const quorvane::sim::LineState&) { ++lineChanges; });
        const std::uint64_t before = sim.portAccesses();
        if (c.drive) {
            driveDataLines();
        }
        EXPECT_EQ(sim.portAccesses() - before, c.drive ? 2U : 0U);
        EXPECT_EQ(lineChanges, 0);
        sim.setLineObserver(nullptr);
        for (int cycle = 0; cycle < 2; ++cycle) {
            const ShownLine line = runCycle();
            if (c.measures) {
                expectReading(line, kTrue);
            } else {
                expectErrorLine(line, cycle);
            }
        }
    }
}
