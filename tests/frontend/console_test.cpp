// The console front end: the measurement line in every unit, the option scan, when the usage
// text is due, the usage text and the banner byte for byte, and the time stamp.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/shown_line.h"
#include "frontend/console.h"
#include "kit/argv.h"
#include "kit/console_texts.h"
#include "kit/files.h"
#include "kit/time_zone.h"

namespace {

using namespace quorvane::testkit;

// --- Measurement line ------------------------------------------------------------------------

constexpr const char* kStamp = "14:05:09 03/07/2024";

std::string lineFor(std::int16_t tenths, int unitIndex) {
    char buffer[kLineBufferSize];
    FormatMeasurementLine(buffer, sizeof buffer, tenths, unitIndex, kStamp);
    return buffer;
}

TEST(MeasurementLine, EveryUnitByteForByte) {
    const struct {
        std::int16_t tenths;
        const char* celsius;
        const char* fahrenheit;
        const char* kelvin;
    } cases[] = {
        // 298.25 is exact in single precision and goes to the even digit.
        {251, "25.1", "77.2", "298.2"},
        // The single-precision sum is 297.950012, above the half.
        {248, "24.8", "76.6", "298.0"},
        {0, " 0.0", "32.0", "273.1"},
        {1, " 0.1", "32.2", "273.2"},
        {6, " 0.6", "33.1", "273.8"},
        {195, "19.5", "67.1", "292.6"},
        // Below zero the count is signed.
        {-1, "-0.1", "31.8", "273.0"},
        {-3, "-0.3", "31.5", "272.9"},
        {-10, "-1.0", "30.2", "272.1"},
        {-50, "-5.0", "23.0", "268.1"},
        {-2543, "-254.3", "-425.7", "18.8"},
        {-3823, "-382.3", "-656.1", "-109.1"},
        {1278, "127.8", "262.0", "401.0"},
        {2558, "255.8", "492.4", "529.0"},
        {INT16_MAX, "3276.7", "5930.1", "3549.8"},
        {INT16_MIN, "-3276.8", "-5866.2", "-3003.7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tenths);
        EXPECT_EQ(lineFor(c.tenths, 0), std::string("\n") + c.celsius + " C " + kStamp);
        EXPECT_EQ(lineFor(c.tenths, 1), std::string("\n") + c.fahrenheit + " F " + kStamp);
        EXPECT_EQ(lineFor(c.tenths, 2), std::string("\n") + c.kelvin + " K " + kStamp);
    }
}

TEST(MeasurementLine, AnyOtherUnitIndexIsCelsius) {
    EXPECT_EQ(lineFor(251, 3), std::string("\n25.1 C ") + kStamp);
    EXPECT_EQ(lineFor(251, -1), std::string("\n25.1 C ") + kStamp);
}

TEST(MeasurementLine, NeverWritesPastTheBuffer) {
    char buffer[12];
    std::memset(buffer, '#', sizeof buffer);
    FormatMeasurementLine(buffer, 8, 251, 2, kStamp);
    EXPECT_STREQ(buffer, "\n298.2 ");
    EXPECT_EQ(buffer[8], '#');
}

// --- Option scan -----------------------------------------------------------------------------

std::string shownFor(const std::vector<std::string>& args) {
    std::string shown;
    for (const std::string& a : args) {
        shown += " [" + a + "]";
    }
    return shown;
}

struct Options {
    int unitIndex = 0;
    std::int32_t logFrequency = -1;
    int verbose = 0;
};

Options scanned(const std::vector<std::string>& args) {
    Argv a(args);
    Options o;
    ScanOptions(a.argc(), a.argv(), &o.unitIndex, &o.logFrequency, &o.verbose);
    return o;
}

TEST(OptionScan, Table) {
    const struct {
        std::vector<std::string> args;
        int unitIndex;
        std::int32_t logFrequency;
        int verbose;
    } cases[] = {
        {{"quorvane_unix"}, 0, -1, 0},
        {{"quorvane_unix", "-f"}, 1, -1, 0},
        {{"quorvane_unix", "-k"}, 2, -1, 0},
        {{"quorvane_unix", "-v"}, 0, -1, 1},
        {{"quorvane_unix", "-k", "-f"}, 1, -1, 0},
        {{"quorvane_unix", "-f", "-k"}, 2, -1, 0},
        {{"quorvane_unix", "-v", "-k", "-l60"}, 2, 60, 1},
        {{"quorvane_unix", "-l"}, 0, -1, 0},
        {{"quorvane_unix", "-l60", "-l"}, 0, -1, 0},
        {{"quorvane_unix", "-l", "-l60"}, 0, 60, 0},
        {{"quorvane_unix", "-l0"}, 0, 0, 0},
        {{"quorvane_unix", "-l-5"}, 0, -5, 0},
        {{"quorvane_unix", "-l+7"}, 0, 7, 0},
        {{"quorvane_unix", "-lx"}, 0, 0, 0},
        {{"quorvane_unix", "-l10s"}, 0, 10, 0},
        {{"quorvane_unix", "-l--5"}, 0, 0, 0},
        {{"quorvane_unix", "-l 42"}, 0, 42, 0},
        {{"quorvane_unix", "-l \t\n-9"}, 0, -9, 0},
        {{"quorvane_unix", "-l", "60"}, 0, -1, 0},
        {{"quorvane_unix", "-l2147483647"}, 0, INT32_MAX, 0},
        {{"quorvane_unix", "-l2147483648"}, 0, INT32_MAX, 0},
        {{"quorvane_unix", "-l99999999999"}, 0, INT32_MAX, 0},
        {{"quorvane_unix", "-l999999999999999999999999999999"}, 0, INT32_MAX, 0},
        {{"quorvane_unix", "-l-2147483648"}, 0, INT32_MIN, 0},
        {{"quorvane_unix", "-l-2147483649"}, 0, INT32_MIN, 0},
        {{"quorvane_unix", "-l-999999999999999999999999999999"}, 0, INT32_MIN, 0},
        {{"quorvane_unix", "-fx"}, 0, -1, 0},
        {{"quorvane_unix", "-kelvin"}, 0, -1, 0},
        {{"quorvane_unix", "-vv"}, 0, -1, 0},
        {{"quorvane_unix", "-F", "-K", "-V", "-L5"}, 0, -1, 0},
        {{"quorvane_unix", "-x", "f", "k", ""}, 0, -1, 0},
        {{"quorvane_unix", "-lv"}, 0, 0, 0},
        {{"-k"}, 2, -1, 0},  // the program's own name is scanned too
        {{"-l30", "-f"}, 1, 30, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shownFor(c.args));
        const Options o = scanned(c.args);
        EXPECT_EQ(o.unitIndex, c.unitIndex);
        EXPECT_EQ(o.logFrequency, c.logFrequency);
        EXPECT_EQ(o.verbose, c.verbose);
    }
}

TEST(UsageRequested, Table) {
    const struct {
        std::vector<std::string> args;
        int expected;
    } cases[] = {
        {{"quorvane_unix"}, 0},
        {{"quorvane_unix", "-v", "-k", "-f", "-l5"}, 0},        // four arguments
        {{"quorvane_unix", "-v", "-k", "-f", "-l5", "-v"}, 1},  // five, all valid
        {{"quorvane_unix", "a", "b", "c", "d", "e", "f", "g"}, 1},
        {{"quorvane_unix", "--help"}, 1},
        {{"quorvane_unix", "/?"}, 1},
        {{"quorvane_unix", "-v", "--help"}, 1},
        {{"quorvane_unix", "-k", "-f", "-v", "/?"}, 1},
        {{"--help"}, 1},
        {{"/?", "-k"}, 1},
        {{"quorvane_unix", "--help2"}, 0},
        {{"quorvane_unix", "--HELP"}, 0},
        {{"quorvane_unix", "-help"}, 0},
        {{"quorvane_unix", "--hel"}, 0},
        {{"quorvane_unix", "/??"}, 0},
        {{"quorvane_unix", "/"}, 0},
        {{"quorvane_unix", " --help"}, 0},
        {{"quorvane_unix", "-?"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shownFor(c.args));
        Argv a(c.args);
        EXPECT_EQ(UsageRequested(a.argc(), a.argv()), c.expected);
    }
}

// --- Console texts ---------------------------------------------------------------------------

TEST(ConsoleTexts, UsageByteForByte) {
    EXPECT_EQ(printedBy(Usage), kUsageText);
}

TEST(ConsoleTexts, BannerByteForByte) {
    const std::string start = kStartLine;
    const struct {
        int unitIndex;
        std::int32_t logFrequency;
        std::string expected;
    } cases[] = {
        {2, 60, start + "\nUnits=KELVIN, logging=ON, log frequency=60"},
        {0, -1, start + "\nUnits=CELCIUS, logging=OFF"},
        {0, 0, start + "\nUnits=CELCIUS, logging=OFF"},
        {1, -5, start + "\nUnits=FAHRENHEIT, logging=OFF"},
        {1, 1, start + "\nUnits=FAHRENHEIT, logging=ON, log frequency=1"},
        {0, INT32_MAX, start + "\nUnits=CELCIUS, logging=ON, log frequency=2147483647"},
        {2, INT32_MIN, start + "\nUnits=KELVIN, logging=OFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(printedBy([&] { PrintBanner(c.unitIndex, c.logFrequency); }), c.expected);
    }
}

// --- Time stamp ------------------------------------------------------------------------------

// Runs with a fixed zone far from UTC, so that a stamp taken in UTC shows.
class TimeStampTest : public ::testing::Test {
    const TimeZone zone_{"QRV-05:30"};
};

// The expected stamp at t, worked out from UTC by hand: 5 h 30 min ahead.
std::string stampAt(std::time_t t) {
    const std::time_t shifted = t + std::time_t{5 * 3600 + 30 * 60};
    std::tm utc{};
    gmtime_r(&shifted, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d %02d/%02d/%04d", utc.tm_hour, utc.tm_min,
                  utc.tm_sec, utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900);
    return text;
}

TEST_F(TimeStampTest, LocalTimeAsHoursMinutesSecondsThenMonthDayYear) {
    const std::time_t before = std::time(nullptr);
    const std::string stamp = CurrTimeStr();
    const std::time_t after = std::time(nullptr);
    // "HH:MM:SS MM/DD/YYYY", as every reader of the lines reads it.
    ASSERT_TRUE(quorvane::tools::parseTimestamp(stamp).has_value()) << stamp;
    bool matches = false;
    for (std::time_t t = before; t <= after; ++t) {
        matches = matches || stamp == stampAt(t);
    }
    EXPECT_TRUE(matches) << stamp << " vs " << stampAt(before);
}

TEST_F(TimeStampTest, OneBufferRewrittenOnEveryCall) {
    char* first = CurrTimeStr();
    std::memcpy(first, "overwritten", sizeof "overwritten");
    char* second = CurrTimeStr();
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::strlen(second), 19U);
}

}  // namespace
