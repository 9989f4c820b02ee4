// quorvane_sim in a world set from outside (QUORVANE_SIM): a cold room, a chip without a count
// per degree, faults that come and go, bad settings; and its pace, that of the real hardware.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kit/cases.h"
#include "kit/shown_line.h"
#include "kit/sim_run.h"

namespace {

using namespace quorvane::testkit;
using quorvane::testkit::PrintTo;

// Stops the program and returns what it printed.
std::string stopped(ChildProcess& sim) {
    EXPECT_TRUE(sim.stop().has_value()) << "still running after SIGINT";
    return sim.output();
}

struct ReadingCase {
    const char* name;
    std::string settings;
    std::vector<std::string> arguments;
    std::size_t lines;
    // Every value lies within [lowest, highest] and comes within `reach` of both ends.
    double lowest;
    double highest;
    double reach;
};

class SimWorldReadings : public ::testing::TestWithParam<ReadingCase> {};

TEST_P(SimWorldReadings, FollowTheSetTemperature) {
    const ReadingCase& c = GetParam();
    TempDir dir;
    auto sim = startSim(dir.path(), c.arguments, {.settings = c.settings});
    ASSERT_TRUE(waitForLines(sim, c.lines)) << sim.output();
    const std::string out = stopped(sim);

    const auto messages = splitMessages(out);
    const auto lines = measurementLines(out);
    ASSERT_EQ(lines.size(), messages.size()) << "not only readings: " << out;
    for (const auto& line : lines) {
        EXPECT_GE(line.value, c.lowest - c.reach) << line.text;
        EXPECT_LE(line.value, c.highest + c.reach) << line.text;
    }
    const auto [lowest, highest] = std::minmax_element(
        lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.value < b.value; });
    EXPECT_LE(lowest->value, c.lowest + c.reach);
    EXPECT_GE(highest->value, c.highest - c.reach);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SimWorldReadings,
    ::testing::Values(
        ReadingCase{"ColdRoomCelsius", "temperature=-10.5", {}, 3, -10.5, -10.5, 0.0},
        ReadingCase{"ColdRoomFahrenheit", "temperature=-10.5", {"-f"}, 3, 13.1, 13.1, 0.0},
        ReadingCase{"ColdRoomKelvin", " temperature = -10.5 ;", {"-k"}, 3, 262.6, 262.6, 0.0},
        // The whole degrees less a quarter: 21 - 0.25.
        ReadingCase{"NoCountPerDegree", "temperature=21.3;count_per_c=0", {}, 3, 20.8, 20.8, 0.0},
        // Forty lines span more than the minute of the swing.
        ReadingCase{"Swing", "temperature=-5..5/60", {}, 40, -5.0, 5.0, 0.1}),
    kByName);

class SimWorldFault : public ::testing::TestWithParam<std::string> {};

// From 10 to 20 seconds after the start every measurement fails, about one a second, and none
// is shown as a temperature; before and after, the readings are those of the room. The window
// lies in the simulation's time, which a busy machine can only put behind the clock of the
// lines, never ahead: the errors are stamped 10 s or later, and they are as many as ten
// seconds of failed cycles make.
TEST_P(SimWorldFault, WindowShowsErrorLinesThenReadingsAgain) {
    TempDir dir;
    auto sim =
        startSim(dir.path(), {}, {.settings = "temperature=20;fault=" + GetParam() + "@10-20"});
    ASSERT_TRUE(sim.readUntil([](const std::string& out) {
        const std::size_t error = out.find(kErrorLine);
        return error != std::string::npos &&
               measurementLines(out.substr(out.rfind(kErrorLine))).size() >= 2;
    })) << sim.output();
    const std::string out = stopped(sim);

    // The runs of readings (true) and of errors (false), in order.
    std::vector<bool> runs;
    std::size_t errors = 0;
    for (const auto& message : splitMessages(out)) {
        // A reading, or the message and a time stamp.
        const auto line = parseShownLine(message);
        ASSERT_TRUE(line.has_value()) << message;
        const bool isReading = !line->error;
        if (isReading) {
            EXPECT_EQ(line->valueField, "20.0") << message;
        } else {
            ++errors;
            EXPECT_GE(line->seconds - kClockStartSeconds, 10) << message;
        }
        if (runs.empty() || runs.back() != isReading) {
            runs.push_back(isReading);
        }
    }
    EXPECT_EQ(runs, (std::vector<bool>{true, false, true})) << out;
    EXPECT_GE(errors, 7U) << out;
    EXPECT_LE(errors, 12U) << out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, SimWorldFault,
                         ::testing::Values("unplugged", "unpowered", "sda-low", "sda-high", "nak"),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                             std::string name = p.param;
                             std::erase(name, '-');
                             return name;
                         });

struct BadSettingCase {
    const char* name;
    std::string settings;
    std::string setting;  // the one the message names
    std::string allowed;  // part of what it says is allowed
};

class SimWorldBadSetting : public ::testing::TestWithParam<BadSettingCase> {};

TEST_P(SimWorldBadSetting, OneMessageExitTwoNothingPrintedOrLogged) {
    const BadSettingCase& c = GetParam();
    TempDir dir;
    auto sim = startSim(dir.path(), {"-v", "-l1"}, {.settings = c.settings, .keepErrors = true});
    const auto end = sim.wait();
    ASSERT_TRUE(end.has_value()) << "still running";
    EXPECT_TRUE(end->exited);
    EXPECT_EQ(end->exitCode, 2);
    EXPECT_EQ(sim.output(), "");
    EXPECT_FALSE(readFile(dir.path() / "quorvane.log").has_value());

    const std::string message = sim.errors();
    EXPECT_EQ(message.substr(0, 28), "quorvane_sim: QUORVANE_SIM: ") << message;
    EXPECT_NE(message.find("'" + c.setting + "'"), std::string::npos) << message;
    EXPECT_NE(message.find(c.allowed), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), message.size() - 1) << "not one line: " << message;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SimWorldBadSetting,
    ::testing::Values(
        BadSettingCase{"UnknownName", "temp=5", "temp=5", "temperature, count_per_c and fault"},
        BadSettingCase{"NotNameValue", "temperature=5;cold", "cold", "name=value"},
        BadSettingCase{"AboveTheRange", "temperature=125.5", "temperature=125.5", "-55 to 125"},
        BadSettingCase{"SwingWithoutPeriod", "temperature=0..10", "temperature=0..10", "A..B/P"},
        // The swing's second bound would be ".2" if a number could begin with its point.
        BadSettingCase{"ThreeDotsInASwing", "temperature=1...2/5", "temperature=1...2/5", "A..B/P"},
        BadSettingCase{"PointWithoutDigitsBefore", "fault=nak@.5-2", "fault=nak@.5-2",
                       "FROM and TO seconds"},
        BadSettingCase{"PointWithoutDigitsAfter", "temperature=21.", "temperature=21.",
                       "-55 to 125"},
        BadSettingCase{"NotAWholeNumber", "count_per_c=1.5", "count_per_c=1.5", "0 to 255"},
        BadSettingCase{"UnknownFault", "fault=unplug@1-2", "fault=unplug@1-2",
                       "unplugged, unpowered, sda-low, sda-high, nak"},
        BadSettingCase{"WindowEndsBeforeItBegins", "temperature=20;fault=nak@20-10",
                       "fault=nak@20-10", "TO after FROM"}),
    kByName);

// A cycle takes about 0.87 s of bus traffic and the one-second conversion: on the accelerated
// clock forty lines span seventy-five seconds. Unpaced (the bus time only counted) they would
// span forty. A busy machine can only make lines later, so that is the side judged here; that
// the pacing never runs late by itself is the pacer's own test, on a clock of its own.
TEST(SimPacing, LinesComeAboutEveryOneAndSevenEighthsSeconds) {
    TempDir dir;
    auto sim = startSim(dir.path(), {});
    ASSERT_TRUE(waitForLines(sim, 41)) << sim.output();
    const auto lines = measurementLines(stopped(sim));
    ASSERT_GE(lines.size(), 41U);
    // From the second line: the first cycle also stores the one-shot bit.
    const double spacing = static_cast<double>(lines[40].seconds - lines[1].seconds) / 39.0;
    ::testing::Test::RecordProperty("line_spacing_seconds", std::to_string(spacing));
    EXPECT_GE(spacing, 1.77);
}

}  // namespace
