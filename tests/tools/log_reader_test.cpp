// The parts of quorvane-plot: what counts as an entry of the log, what is skipped, how the
// entries become series reduced to the image's columns with their breaks, and the time axis.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "plot/chart.h"
#include "plot/log_reader.h"
#include "plot/series.h"
#include "plot/time_axis.h"

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
        {"-1.0 C 08:00:00 02/29/2000", true, -1.0, Unit::Celsius, {2000, 2, 29, 8, 0, 0}},
        {" 5.0 C 23:59:59 12/31/1969", true, 5.0, Unit::Celsius, {1969, 12, 31, 23, 59, 59}},
        {" 5.0 C 00:00:00 01/01/1000", true, 5.0, Unit::Celsius, {1000, 1, 1, 0, 0, 0}},
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
        {"21.4 C 24:05:09 12/08/2026", false, 0, Unit::Celsius, {}},  // hour 24
        {"21.4 C 14:60:09 12/08/2026", false, 0, Unit::Celsius, {}},  // minute 60
        {"21.4 C 14:05:09 13/08/2026", false, 0, Unit::Celsius, {}},  // month 13
        {"21.4 C 14:05:09 12/32/2026", false, 0, Unit::Celsius, {}},  // day 32
        {"21.4 C 14:05:09 02/29/2027", false, 0, Unit::Celsius, {}},  // no such day
        {"21.4 C 14:05:09 02/29/2100", false, 0, Unit::Celsius, {}},  // a century, no leap year
        {"21.4 C 14:05:09 02/30/2028", false, 0, Unit::Celsius, {}},
        {"21.4 C 14:05:09 04/31/2026", false, 0, Unit::Celsius, {}},
        {"21.4 C 14:05:09 12/00/2026", false, 0, Unit::Celsius, {}},   // day 0
        {"21.4 C 14:05:09 01/01/0999", false, 0, Unit::Celsius, {}},   // three-digit year
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

// What the reader makes of a text handed to it in pieces of `piece` bytes (0: all at once).
struct ParsedLog {
    std::vector<Entry> entries;
    std::size_t skipped = 0;
    std::size_t firstSkippedLine = 0;

    friend bool operator==(const ParsedLog&, const ParsedLog&) = default;
};

ParsedLog parseLog(std::string_view text, std::size_t piece = 0) {
    ParsedLog log;
    LogReader reader([&log](const Entry& entry) { log.entries.push_back(entry); });
    for (std::size_t from = 0; from < text.size(); from += piece == 0 ? text.size() : piece) {
        reader.read(text.substr(from, piece == 0 ? text.size() : piece));
    }
    reader.finish();
    log.skipped = reader.skipped();
    log.firstSkippedLine = reader.firstSkippedLine();
    return log;
}

// How many entries and junk lines a log holds, and the line of the first junk.
struct LogShape {
    std::size_t entries;
    std::size_t skipped;
    std::size_t firstSkippedLine;
};

// Reads the text whole, checks its shape, and reads it again in pieces of every size, cut
// anywhere with lines across them: the same log each time.
ParsedLog readWholeAndInPieces(std::string_view text, LogShape shape) {
    ParsedLog log = parseLog(text);
    EXPECT_EQ(log.entries.size(), shape.entries);
    EXPECT_EQ(log.skipped, shape.skipped);
    EXPECT_EQ(log.firstSkippedLine, shape.firstSkippedLine);
    for (std::size_t piece = 1; piece < text.size(); ++piece) {
        EXPECT_EQ(parseLog(text, piece), log) << "pieces of " << piece;
    }
    return log;
}

TEST(ParseLog, ReadsTheFileAsTheProgramWritesIt) {
    // Leading newline, no final one; a second run in another unit appended without a mark.
    const ParsedLog log = readWholeAndInPieces(
        "\n21.4 C 14:05:09 12/08/2026\n21.5 C 14:05:11 12/08/2026"
        "\n70.7 F 14:10:00 12/08/2026",
        {3, 0, 0});
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(log.entries[1].time, (Timestamp{2026, 12, 8, 14, 5, 11}));
    EXPECT_EQ(log.entries[2].unit, Unit::Fahrenheit);
}

TEST(ParseLog, CountsJunkLinesAndKeepsTheEntriesAroundThem) {
    const ParsedLog log = readWholeAndInPieces(
        "\n21.4 C 14:05:09 12/08/2026\ngarbage\r\n\n21.6 C 14:05:13 12/08/2026\r"
        "\n21.6 C 14:0\n\n21.7 C 14:05:15 12/08/2026\n",
        {3, 2, 3});
    ASSERT_FALSE(HasFailure());
    EXPECT_DOUBLE_EQ(log.entries[1].value, 21.6);  // a CR from another editor does no harm
    // A line far longer than any entry is one junk line, however it is cut (a few cuts: every
    // one would take too long).
    const std::string junk = std::string(100'000, '7') + "\n21.4 C 14:05:09 12/08/2026";
    for (const std::size_t piece : {0U, 1000U, 99'999U}) {
        const ParsedLog longLine = parseLog(junk, piece);
        EXPECT_EQ(longLine.entries.size(), 1U);
        EXPECT_EQ(longLine.skipped, 1U);
    }
}

TEST(ParseLog, EmptyOrJunkOnlyTextHasNoEntries) {
    const std::pair<const char*, LogShape> cases[] = {
        {"", {0, 0, 0}},
        {"\n", {0, 0, 0}},
        {"\n\n\n", {0, 0, 0}},
        {"hello\nworld", {0, 2, 1}},
    };
    for (const auto& [text, shape] : cases) {
        SCOPED_TRACE(text);
        readWholeAndInPieces(text, shape);
    }
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

TEST(Timestamp, LocalSecondsCountTheCalendar) {
    EXPECT_EQ((Timestamp{1970, 1, 1, 0, 0, 0}.localSeconds()), 0);
    EXPECT_EQ((Timestamp{2026, 3, 1, 10, 0, 0}.localSeconds()), 1772359200);
    EXPECT_EQ((Timestamp{1000, 1, 1, 0, 0, 0}.localSeconds()), -30610224000);
    EXPECT_EQ((Timestamp{1969, 12, 31, 23, 59, 59}.localSeconds()), -1);
    EXPECT_EQ((Timestamp{2000, 3, 1, 0, 0, 0}.localSeconds()), 951868800);   // after 29 February
    EXPECT_EQ((Timestamp{2100, 3, 1, 0, 0, 0}.localSeconds()), 4107542400);  // after 28 February
    // A leap second counts as the next minute's first.
    EXPECT_EQ((Timestamp{2026, 12, 31, 23, 59, 60}.localSeconds()),
              (Timestamp{2027, 1, 1, 0, 0, 0}.localSeconds()));
    for (const Timestamp t :
         {Timestamp{1000, 1, 1, 0, 0, 0}, Timestamp{1969, 12, 31, 23, 59, 59},
          Timestamp{1900, 3, 1, 0, 0, 0}, Timestamp{2000, 2, 29, 23, 59, 59},
          Timestamp{2100, 2, 28, 23, 59, 59}, Timestamp{2100, 3, 1, 0, 0, 0},
          Timestamp{2028, 2, 29, 12, 0, 0}, Timestamp{9999, 12, 31, 23, 59, 59}}) {
        EXPECT_EQ(Timestamp::fromLocalSeconds(t.localSeconds()), t)
            << t.year << "-" << t.month << "-" << t.day;
    }
}

const std::int64_t kStart = Timestamp{2026, 3, 1, 10, 0, 0}.localSeconds();
constexpr std::int64_t kHour = 3600;

Entry at(std::int64_t seconds, double value, Unit unit = Unit::Celsius) {
    return {value, unit, Timestamp::fromLocalSeconds(kStart + seconds)};
}

ChartData reduce(const std::vector<Entry>& log, std::optional<Unit> unit, int columns = 800) {
    SeriesReducer reducer(columns, unit);
    std::for_each(log.begin(), log.end(), [&reducer](const Entry& e) { reducer.add(e); });
    return reducer.finish();
}

// The values of the points a series draws, and the times from the start where its line breaks.
struct Drawn {
    std::vector<double> values;
    std::vector<std::int64_t> breaks;
};

Drawn drawn(const Series& series) {
    Drawn d;
    for (const Column& column : series.columns) {
        if (!column.joined && !d.values.empty()) {
            d.breaks.push_back(column.first.time - kStart);
        }
        for (const Point& p : column.points()) {
            d.values.push_back(p.value);
        }
    }
    return d;
}

TEST(SeriesReducer, OneSeriesPerUnitInTheLastUnitUnlessAUnitIsAskedFor) {
    const ParsedLog log = parseLog(
        "\n20.0 C 10:00:00 03/01/2026\n21.0 C 10:00:02 03/01/2026"
        "\n50.0 F 11:00:00 03/01/2026\n293.2 K 12:00:00 03/01/2026\n22.0 C 13:00:00 03/01/2026");
    // Celsius and Kelvin never share an axis from 0 to 350: all is drawn in the last unit, and
    // the Celsius runs before and after the others are not joined across them.
    const ChartData runs = reduce(log.entries, std::nullopt);
    EXPECT_EQ(runs.unit, Unit::Celsius);
    ASSERT_EQ(runs.series.size(), 3U);
    EXPECT_EQ(drawn(runs.series[0]).values, (std::vector<double>{20.0, 21.0, 22.0}));
    EXPECT_EQ(drawn(runs.series[0]).breaks, (std::vector<std::int64_t>{3 * kHour}));
    EXPECT_EQ(runs.series[1].logged, Unit::Fahrenheit);
    EXPECT_EQ(runs.series[2].logged, Unit::Kelvin);
    EXPECT_NEAR(drawn(runs.series[1]).values.at(0), 10.0, 1e-9);
    EXPECT_NEAR(drawn(runs.series[2]).values.at(0), 20.05, 1e-9);
    EXPECT_EQ(seriesLabel(runs.series[0], runs.unit), "logged in \u00b0C");
    EXPECT_EQ(seriesLabel(runs.series[2], runs.unit), "logged in K, shown in \u00b0C");
    EXPECT_EQ(runs.last - runs.first, 3 * kHour);
    EXPECT_EQ(reduce({at(0, 20), at(60, 300, Unit::Kelvin)}, std::nullopt).unit, Unit::Kelvin);

    const ChartData inF = reduce(log.entries, Unit::Fahrenheit);
    EXPECT_EQ(inF.unit, Unit::Fahrenheit);
    ASSERT_EQ(inF.series.size(), 1U);
    EXPECT_EQ(inF.series[0].logged, Unit::Fahrenheit);
    const Drawn shown = drawn(inF.series[0]);
    const double expected[] = {68.0, 69.8, 50.0, 68.09, 71.6};
    ASSERT_EQ(shown.values.size(), 5U);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(shown.values[i], expected[i], 1e-9) << i;
    }
    // Every change of unit breaks the line.
    EXPECT_EQ(shown.breaks, (std::vector<std::int64_t>{kHour, 2 * kHour, 3 * kHour}));
}

TEST(SeriesReducer, TheLineBreaksAtAGapAndWhereTheClockWasSetBack) {
    // A minute apart, but a hole of ten minutes (more than five times the usual spacing: a gap),
    // one of four (not one), and the clock set back a day before the entries' start: those
    // entries follow as a line of their own, which the line before does not run into.
    std::vector<Entry> log;
    std::int64_t t = 0;
    for (int i = 0; i < 100; ++i) {
        t += i == 40 ? 600 : i == 70 ? 240 : i == 85 ? -86400 : i == 0 ? 0 : 60;
        log.push_back(at(t, 20 + i % 2));
    }
    const ChartData data = reduce(log, std::nullopt);
    ASSERT_EQ(data.series.size(), 1U);
    EXPECT_EQ(drawn(data.series[0]).breaks,
              (std::vector<std::int64_t>{39 * 60 + 600, log[85].time.localSeconds() - kStart}));
    EXPECT_EQ(data.first, log[85].time.localSeconds());
}

TEST(SeriesReducer, TheHourThatRepeatsIsALineOfItsOwnNeverMergedWithTheFirst) {
    // A minute apart from 01:00 to 02:59 at 20 °C, then the clock goes back an hour and 02:00
    // to 03:59 follow at 30 °C, on a chart narrow enough that columns span many minutes.
    std::vector<Entry> log;
    for (std::int64_t i = 0; i < 120; ++i) {
        log.push_back(at(i * 60, 20));
    }
    for (std::int64_t i = 60; i < 180; ++i) {
        log.push_back(at(i * 60, 30));
    }
    const ChartData data = reduce(log, std::nullopt, 20);
    ASSERT_EQ(data.series.size(), 1U);
    EXPECT_EQ(drawn(data.series[0]).breaks, (std::vector<std::int64_t>{kHour}));
    std::size_t atThirty = 0;
    for (const Column& column : data.series[0].columns) {
        EXPECT_EQ(column.low.value, column.high.value) << "a column mixes both hours";
        atThirty += column.low.value == 30 ? 1 : 0;
        // Each line goes forward in time, the second after all of the first.
        EXPECT_EQ(atThirty > 0, column.low.value == 30);
    }
    EXPECT_EQ(data.last - data.first, 3 * kHour - 60);
}

TEST(SeriesReducer, KeepsEveryColumnsLowestAndHighestAndItsBreaks) {
    // Ten thousand entries a second apart with an hour's gap, and a run in Kelvin from a time
    // that begins a column at any width up to 4096 seconds.
    std::vector<Entry> log;
    for (std::int64_t i = 0; i < 10'000; ++i) {
        const std::int64_t t = i < 6000 ? i : i + 3600;
        const double celsius = 20 + static_cast<double>(i * 7919 % 101) / 10;
        log.push_back(t < 12'288 ? at(t, celsius) : at(t, celsius + 273.15, Unit::Kelvin));
    }
    const ChartData data = reduce(log, Unit::Celsius, 50);
    ASSERT_EQ(data.series.size(), 1U);
    const std::vector<Column>& columns = data.series[0].columns;
    EXPECT_GE(columns.size(), 50U * 3 / 4);
    EXPECT_LE(columns.size(), 2 * 50U);
    std::size_t covered = 0;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        // What the column stands for: the entries from its first to its last.
        const Column& column = columns[c];
        double low = 1e9;
        double high = -1e9;
        for (const Entry& entry : log) {
            const std::int64_t t = entry.time.localSeconds();
            if (t >= column.first.time && t <= column.last.time) {
                low = std::min(low, convert(entry.value, entry.unit, Unit::Celsius));
                high = std::max(high, convert(entry.value, entry.unit, Unit::Celsius));
                ++covered;
            }
        }
        EXPECT_DOUBLE_EQ(column.low.value, low) << c;
        EXPECT_DOUBLE_EQ(column.high.value, high) << c;
        const std::vector<Point> points = column.points();
        EXPECT_EQ(points.front(), column.first);
        EXPECT_EQ(points.back(), column.last);
        EXPECT_TRUE(std::is_sorted(points.begin(), points.end(),
                                   [](const Point& a, const Point& b) { return a.time < b.time; }));
        EXPECT_TRUE(c == 0 || columns[c - 1].last.time < column.first.time) << c;
    }
    EXPECT_EQ(covered, log.size());  // every entry in one column, and in one only
    EXPECT_EQ(drawn(data.series[0]).breaks, (std::vector<std::int64_t>{6000 + 3600, 12'288}));
}

TEST(TimeAxis, TicksAtRoundTimesWhoseLabelsNeverTouch) {
    // A label takes at least its digits at 7 pixels each (the lettering's are narrower), and
    // as much again for the space on either side.
    EXPECT_GE(labelWidth("00:00:00"), 8 * 7 + 2 * 7);
    EXPECT_GE(labelWidth("12:00\n03/01"), 5 * 7 + 2 * 7);
    const std::int64_t start = Timestamp{2026, 3, 1, 9, 59, 50}.localSeconds();
    // Spans, with the first label and the title they get on 800 pixels.
    const std::tuple<std::int64_t, const char*, const char*> spans[] = {
        {40, "09:59:50", "Time (HH:MM:SS, local, 03/01/2026)"},
        {600, "10:00", "Time (HH:MM, local, 03/01/2026)"},
        {3 * 3600, "10:00", "Time (HH:MM, local, 03/01/2026)"},
        {30 * 3600, "12:00\n03/01", "Time (HH:MM and MM/DD, local, 2026)"},
        {9 * 86400, "03/02", "Time (MM/DD, local, 2026)"},
        {60 * 86400, "03/02", "Time (MM/DD, local, 2026)"},
        {430 * 86400, "05/2026", "Time (MM/YYYY, local)"},
        {30 * 365 * 86400, "2028", "Time (year, local)"},
    };
    for (const auto& [span, label, title] : spans) {
        for (const int width : {120, 400, 800, 1600, 8000}) {
            SCOPED_TRACE(std::to_string(span) + " s on " + std::to_string(width) + " pixels");
            const TimeAxis axis = timeAxis(start, start + span, width);
            ASSERT_GE(axis.ticks.size(), width >= 400 ? 2U : 0U);
            if (width == 800) {
                EXPECT_EQ(axis.ticks[0].label, label);
                EXPECT_EQ(axis.title, title);
            }
            for (std::size_t i = 0; i < axis.ticks.size(); ++i) {
                const Tick& tick = axis.ticks[i];
                EXPECT_GE(tick.time, start);
                EXPECT_LE(tick.time, start + span);
                if (i > 0) {
                    const Tick& before = axis.ticks[i - 1];
                    const double apart = static_cast<double>((tick.time - before.time) * width) /
                                         static_cast<double>(span);
                    EXPECT_GE(apart, (labelWidth(before.label) + labelWidth(tick.label)) / 2.0);
                    EXPECT_NE(tick.label, before.label);
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorvane::plot
