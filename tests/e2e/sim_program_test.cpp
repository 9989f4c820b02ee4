// quorvane_sim as a newcomer runs it: started with a few option sets, its first lines read from a
// pipe, then stopped with an interrupt.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "kit/cases.h"
#include "kit/console_texts.h"
#include "kit/shown_line.h"
#include "kit/sim_run.h"

namespace {

using namespace quorvane::testkit;
using quorvane::testkit::PrintTo;

struct MeasuringCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string banner;
    char unit;
    // A room's temperature, 17 to 25 degrees Celsius, in the run's unit.
    double lowest;
    double highest;
    bool logsEveryMinute = false;
};

std::string fourPointOne(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%4.1f", value);
    return text;
}

class SimMeasuring : public ::testing::TestWithParam<MeasuringCase> {};

TEST_P(SimMeasuring, PrintsBannerThenWholeLinesOfARoomsTemperatureUntilInterrupted) {
    const MeasuringCase& c = GetParam();
    TempDir dir;
    auto sim = startSim(dir.path(), c.arguments);
    ASSERT_TRUE(waitForLines(sim, 3)) << "output so far: " << sim.output();

    const auto end = sim.stop(SIGINT);
    ASSERT_TRUE(end.has_value()) << "still running after SIGINT";
    // No handler is installed: the interrupt ends the program as it ends any.
    EXPECT_FALSE(end->exited);
    EXPECT_EQ(end->signal, SIGINT);

    const std::string& out = sim.output();
    ASSERT_EQ(out.substr(0, c.banner.size()), c.banner);
    const auto messages = splitMessages(out.substr(c.banner.size()));
    ASSERT_GE(messages.size(), 3U);
    std::int64_t previous = kClockStartSeconds;
    for (const auto& message : messages) {
        const auto line = parseMeasurementLine(message);
        ASSERT_TRUE(line.has_value()) << "not a whole measurement line: [" << message << "]";
        EXPECT_EQ(line->unit, c.unit) << message;
        // At least four characters, one decimal: the field is what %4.1f makes of its value.
        EXPECT_EQ(line->valueField, fourPointOne(line->value)) << message;
        EXPECT_GE(line->value, c.lowest) << message;
        EXPECT_LE(line->value, c.highest) << message;
        // One measurement takes at least the second it sleeps.
        EXPECT_GT(line->seconds, previous) << message;
        previous = line->seconds;
    }
    // Nothing is logged without -l, nor with -l60 before the program's clock shows a minute
    // more than at its start (which a loaded machine may reach before the interrupt does).
    const bool minuteUp = previous >= kClockStartSeconds + 60;
    EXPECT_TRUE(!readFile(dir.path() / "quorvane.log").has_value() ||
                (c.logsEveryMinute && minuteUp));
}

INSTANTIATE_TEST_SUITE_P(
    OptionSets, SimMeasuring,
    ::testing::Values(
        MeasuringCase{"NoArguments", {}, "", 'C', 17.0, 25.0},
        MeasuringCase{"VerboseKelvinLogEveryMinute",
                      {"-v", "-k", "-l60"},
                      std::string(kStartLine) + "\nUnits=KELVIN, logging=ON, log frequency=60",
                      'K',
                      290.0,
                      298.3,
                      true},
        MeasuringCase{"Fahrenheit", {"-f"}, "", 'F', 62.5, 77.1},
        MeasuringCase{"VerboseLogWithoutSeconds",
                      {"-v", "-l"},
                      std::string(kStartLine) + "\nUnits=CELCIUS, logging=OFF",
                      'C',
                      17.0,
                      25.0},
        MeasuringCase{"LaterUnitWinsUnknownIgnored", {"-k", "-x", "-f"}, "", 'F', 62.5, 77.1}),
    kByName);

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
};

class SimUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(SimUsage, PrintsUsageExactlyAndExitsWithZero) {
    TempDir dir;
    auto sim = startSim(dir.path(), GetParam().arguments);
    const auto end = sim.wait();
    ASSERT_TRUE(end.has_value()) << "still running; output: " << sim.output();
    EXPECT_TRUE(end->exited);
    EXPECT_EQ(end->exitCode, 0);
    EXPECT_EQ(sim.output(), kUsageText);
    EXPECT_FALSE(readFile(dir.path() / "quorvane.log").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    OptionSets, SimUsage,
    ::testing::Values(UsageCase{"Help", {"--help"}},
                      UsageCase{"HelpAfterVerboseShowsNoBanner", {"-v", "-l1", "--help"}},
                      UsageCase{"SlashQuestionMark", {"-f", "/?"}},
                      UsageCase{"FiveValidArguments", {"-v", "-f", "-k", "-l5", "-v"}}),
    kByName);

}  // namespace
