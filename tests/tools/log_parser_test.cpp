// Reading quorvane.log: what counts as an entry, what is skipped, how runs become series.
#include "plot/log_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvane::plot {
namespace {

struct LineCase {
    const char* line;
    bool isEntry;
    double value;
    Unit unit;
    Timestamp time;
};

TEST(ParseEntry, TellsEntriesFromJunk) {
    const LineCase cases[] = {
        {"21.4 C 14:05:09 12/08/2026", true, 21.4, Unit::Celsius, {2026, 12, 8, 14, 5, 9}},
        {" 0.0 C 00:00:00 01/01/2027", true, 0.0, Unit::Celsius, {2027, 1, 1, 0, 0, 0}},
        {"-0.3 C 23:59:59 12/31/2026", true, -0.3, Unit::Celsius, {2026, 12, 31, 23, 59, 59}},
        {"-12.5 F 08:00:00 02/29/2028", true, -12.5, Unit::Fahrenheit, {2028, 2, 29, 8, 0, 0}},
        {"298.2 K 10:11:12 06/15/2026", true, 298.2, Unit::Kelvin, {2026, 6, 15, 10, 11, 12}},
        {"6553.3 C 10:11:12 06/15/2026", true, 6553.3, Unit::Celsius, {2026, 6, 15, 10, 11, 12}},
        {"21.4 C 23:59:60 12/31/2026", true, 21.4, Unit::Celsius, {2026, 12, 31, 23, 59, 60}},
        {"Error reading thermometer 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},
        {"Error opening log file", false, 0, Unit::Celsius, {}},
        {"21.4 X 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},   // unknown unit
        {"21.4 c 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},   // letters are capitals
        {"21.45 C 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},  // two decimals
        {"21 C 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},     // no decimal
        {"+21.4 C 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},
        {"2-1.4 C 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},
        {"21.4 C 24:05:09 12/08/2026", false, 0, Unit::Celsius, {}},   // hour 24
        {"21.4 C 14:60:09 12/08/2026", false, 0, Unit::Celsius, {}},   // minute 60
        {"21.4 C 14:05:09 13/08/2026", false, 0, Unit::Celsius, {}},   // month 13
        {"21.4 C 14:05:09 12/32/2026", false, 0, Unit::Celsius, {}},   // day 32
        {"21.4 C 14:05:09 02/29/2027", false, 0, Unit::Celsius, {}},   // no such day
        {"21.4 C 14:05:09 2026/12/08", false, 0, Unit::Celsius, {}},   // another date order
        {"21.4 C 14:05:09 12/08/2026x", false, 0, Unit::Celsius, {}},  // trailing junk
        {"21.4 C 14:05:09 12/08/26", false, 0, Unit::Celsius, {}},
        {"21.4  C 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},
        {"21.4 C 1:05:09 12/08/2026", false, 0, Unit::Celsius, {}},
        {"21.4 C 14:05:09 12/+8/2026", false, 0, Unit::Celsius, {}},
        {"21.4 C 14:05:09 12/08/202621.5 C 14:05:11 12/08/2026", false, 0, Unit::Celsius, {}},
        {"C 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},
        {"     C 14:05:09 12/08/2026", false, 0, Unit::Celsius, {}},
        {"", false, 0, Unit::Celsius, {}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.line);
        const auto entry = parseEntry(c.line);
        ASSERT_EQ(entry.has_value(), c.isEntry);
        if (c.isEntry) {
            EXPECT_DOUBLE_EQ(entry->value, c.value);
            EXPECT_EQ(entry->unit, c.unit);
            EXPECT_EQ(entry->time, c.time);
        }
    }
}

TEST(ParseLog, ReadsTheFileAsTheProgramWritesIt) {
    // Leading newline, no final one; a second run in another unit appended without a mark.
    const std::string text =
        "\n21.4 C 14:05:09 12/08/2026\n21.5 C 14:05:11 12/08/2026"
        "\n70.7 F 14:10:00 12/08/2026";
    const ParsedLog log = parseLog(text);
    ASSERT_EQ(log.entries.size(), 3U);
    EXPECT_EQ(log.skipped, 0U);
    EXPECT_EQ(log.firstSkippedLine, 0U);
    EXPECT_EQ(log.entries[1].time, (Timestamp{2026, 12, 8, 14, 5, 11}));
    EXPECT_EQ(log.entries[2].unit, Unit::Fahrenheit);
}

TEST(ParseLog, CountsJunkLinesAndKeepsTheEntriesAroundThem) {
    const std::string text =
        "\n21.4 C 14:05:09 12/08/2026\ngarbage\r\n\n21.6 C 14:05:13 12/08/2026\r"
        "\n21.6 C 14:0\n\n21.7 C 14:05:15 12/08/2026\n";
    const ParsedLog log = parseLog(text);
    ASSERT_EQ(log.entries.size(), 3U);
    EXPECT_DOUBLE_EQ(log.entries[1].value, 21.6);  // a CR from another editor does no harm
    EXPECT_EQ(log.skipped, 2U);
    EXPECT_EQ(log.firstSkippedLine, 3U);
}

TEST(ParseLog, EmptyOrJunkOnlyTextHasNoEntries) {
    for (const char* text : {"", "\n", "\n\n\n", "hello\nworld"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(parseLog(text).entries.empty());
    }
    EXPECT_EQ(parseLog("hello\nworld").skipped, 2U);
}

TEST(Convert, BetweenEveryPairOfUnits) {
    struct Case {
        double value;
        Unit from;
        Unit to;
        double expected;
    };
    const Case cases[] = {
        {100, Unit::Celsius, Unit::Fahrenheit, 212},   {-40, Unit::Celsius, Unit::Fahrenheit, -40},
        {0, Unit::Celsius, Unit::Kelvin, 273.15},      {32, Unit::Fahrenheit, Unit::Celsius, 0},
        {212, Unit::Fahrenheit, Unit::Kelvin, 373.15}, {273.15, Unit::Kelvin, Unit::Celsius, 0},
        {233.15, Unit::Kelvin, Unit::Fahrenheit, -40}, {21.4, Unit::Celsius, Unit::Celsius, 21.4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.value) + letterOf(c.from) + " to " + letterOf(c.to));
        EXPECT_NEAR(convert(c.value, c.from, c.to), c.expected, 1e-9);
    }
}

TEST(GroupSeries, OneSeriesPerRunOfAUnitUnlessAUnitIsAskedFor) {
    const ParsedLog log = parseLog(
        "\n20.0 C 10:00:00 01/02/2026\n21.0 C 10:00:02 01/02/2026"
        "\n50.0 F 11:00:00 01/02/2026\n293.2 K 12:00:00 01/02/2026\n22.0 C 13:00:00 01/02/2026");
    const auto runs = groupSeries(log.entries, std::nullopt);
    ASSERT_EQ(runs.size(), 4U);
    EXPECT_EQ(runs[0].entries.size(), 2U);
    EXPECT_EQ(runs[1].unit, Unit::Fahrenheit);
    EXPECT_EQ(runs[2].unit, Unit::Kelvin);
    EXPECT_EQ(runs[3].unit, Unit::Celsius);

    const auto inF = groupSeries(log.entries, Unit::Fahrenheit);
    ASSERT_EQ(inF.size(), 1U);
    ASSERT_EQ(inF[0].entries.size(), 5U);
    EXPECT_EQ(inF[0].unit, Unit::Fahrenheit);
    const double expected[] = {68.0, 69.8, 50.0, 68.09, 71.6};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(inF[0].entries[i].value, expected[i], 1e-9) << i;
        EXPECT_EQ(inF[0].entries[i].unit, Unit::Fahrenheit);
        EXPECT_EQ(inF[0].entries[i].time, log.entries[i].time);
    }
}

}  // namespace
}  // namespace quorvane::plot
