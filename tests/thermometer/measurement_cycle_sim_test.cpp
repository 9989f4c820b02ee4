// One turn of the measurement loop on the simulated thermometer: what reaches standard output
// (at once, without waiting for the stream to be flushed by anyone else), what reaches the log,
// and how long the turn takes on the simulated clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "frontend/console.h"
#include "kit/files.h"
#include "kit/shown_line.h"
#include "kit/simulated_bus.h"
#include "sim/simulation.h"

namespace {

namespace fs = std::filesystem;

using quorvane::sim::kMicrosPerSecond;
using quorvane::sim::Micros;
using namespace quorvane::testkit;

// Each test runs in a directory of its own, since the log lies in the current one.
class MeasurementCycleOnSimulatedBus : public SimulatedBus {
  protected:
    static bool logExists() { return fs::exists(fs::symlink_status("quorvane.log")); }
    static std::string logText() {
        return quorvane::testkit::readFile("quorvane.log").value_or("");
    }

    // Runs one turn with logging due at once; returns what reached standard output, without
    // anyone flushing the stream.
    std::string turn(int unitIndex) {
        const quorvane::testkit::StdoutCapture out;
        std::int64_t lastLogTime = 0;
        MeasurementCycle(unitIndex, 1, &lastLogTime, lineBuffer);
        return out.written();
    }

    char lineBuffer[kLineBufferSize] = {};

  private:
    quorvane::testkit::TempDir dir_;
    quorvane::testkit::WorkingDirectory inDir_{dir_.path()};
};

TEST_F(MeasurementCycleOnSimulatedBus, GoodCyclePrintsTheLineAtOnceAndLogsIt) {
    const struct {
        int unitIndex;
        const char* value;
    } cases[] = {{0, "-5.0 C "}, {1, "23.0 F "}, {2, "268.1 K "}};
    sim().setTemperature(-5.0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        fs::remove("quorvane.log");
        const Micros sleptBefore = slept();
        const std::string printed = turn(c.unitIndex);
        const std::string head = std::string("\n") + c.value;
        ASSERT_EQ(printed.substr(0, head.size()), head) << printed;
        const auto shown = parseShownLine(printed);
        EXPECT_TRUE(shown && !shown->error) << printed;  // a time stamp of the calendar follows
        EXPECT_EQ(printed, lineBuffer);
        EXPECT_EQ(logText(), printed);
        EXPECT_EQ(slept() - sleptBefore, kMicrosPerSecond);  // the conversion, nothing more
    }
}

TEST_F(MeasurementCycleOnSimulatedBus, FailedCyclePrintsTheErrorSleepsOnceAndLogsNothing) {
    const struct {
        const char* name;
        void (*fault)();
        const char* bus;
    } cases[] = {
        // The first cycle after power-on: the port's Select-In, set as Linux leaves it, held SDA
        // low until applyPower released it with SCL high, a stop on the idle bus.
        {"device absent", [] { sim().setDevicePresent(false); }, "P S 9A n P"},
        {"device never acknowledges", [] { sim().setNeverAcknowledge(true); }, "S 9A n P"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim().clearFaults();
        c.fault();
        const std::string before = "\n21.3 C 00:00:00 01/01/2000";
        before.copy(lineBuffer, before.size());
        const Micros sleptBefore = slept();
        const std::string printed = turn(0);
        ASSERT_TRUE(printed.starts_with(kErrorLine)) << printed;
        const auto shown = parseShownLine(printed);
        EXPECT_TRUE(shown && shown->error) << printed;  // a time stamp of the calendar follows
        EXPECT_FALSE(logExists());
        EXPECT_EQ(std::string(lineBuffer), before) << "no line was made";
        EXPECT_EQ(slept() - sleptBefore, kMicrosPerSecond);
        EXPECT_EQ(bus(), c.bus);
        forget();
    }
}

}  // namespace
