// quorvane-export's parts without a process: which bytes make a record, what each output format
// makes of the program's own output, where a local stamp lies on the time line, and the Celsius
// value of every line the program can print.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "export/exporter.h"
#include "export/output_backlog.h"
#include "export/record_scanner.h"
#include "export/zoned_time.h"
#include "frontend/console.h"
#include "kit/child_process.h"
#include "kit/scan_log.h"
#include "kit/time_zone.h"

namespace {

using namespace quorvane::exporter;
using namespace quorvane::testkit;

TEST(RecordScanner, RecordsAreTheProgramsOwnShapesAndNothingElse) {
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases{
        {"measurement", "\n21.4 C 14:05:09 12/08/2026", {"R:21.4 C 14:05:09 12/08/2026"}},
        {"padded, signed, other units",
         "\n 0.0 C 00:00:00 01/01/2026\n-0.3 C 23:59:59 12/31/2026\n272.9 K 10:00:00 02/29/2028"
         "\n-5866.2 F 10:00:60 06/30/2026",
         {"R: 0.0 C 00:00:00 01/01/2026", "R:-0.3 C 23:59:59 12/31/2026",
          "R:272.9 K 10:00:00 02/29/2028", "R:-5866.2 F 10:00:60 06/30/2026"}},
        {"failed cycle",
         "\nError reading thermometer 14:05:10 12/08/2026",
         {"R:Error reading thermometer 14:05:10 12/08/2026"}},
        {"banner and log messages",
         "\n*** Starting Temperature measurements ***\nUnits=CELCIUS, logging=OFF"
         "\nError opening log file\nError writing log file\n",
         {"T:*** Starting Temperature measurements ***", "T:Units=CELCIUS, logging=OFF",
          "T:Error opening log file", "T:Error writing log file", "T:"}},
        {"cut line, then a whole one",
         "\n21.4 C 14:0\n21.5 C 14:05:10 12/08/2026",
         {"T:21.4 C 14:0", "R:21.5 C 14:05:10 12/08/2026"}},
        {"bytes after a record belong to no record",
         "\n21.4 C 14:05:09 12/08/2026xyz\n",
         {"R:21.4 C 14:05:09 12/08/2026", "T:xyz", "T:"}},
        {"not as printf pads",
         "\n  21.4 C 14:05:09 12/08/2026\n 21.4 C 14:05:09 12/08/2026",
         {"T:  21.4 C 14:05:09 12/08/2026", "T: 21.4 C 14:05:09 12/08/2026"}},
        {"not as printf writes numbers",
         "\n01.5 C 14:05:09 12/08/2026\n21.45 C 14:05:09 12/08/2026\n21. C 14:05:09 12/08/2026"
         "\n123456.0 C 14:05:09 12/08/2026",
         {"T:01.5 C 14:05:09 12/08/2026", "T:21.45 C 14:05:09 12/08/2026",
          "T:21. C 14:05:09 12/08/2026", "T:123456.0 C 14:05:09 12/08/2026"}},
        {"unknown unit, wrong spacing",
         "\n21.4 X 14:05:09 12/08/2026\n21.4 C  14:05:09 12/08/2026",
         {"T:21.4 X 14:05:09 12/08/2026", "T:21.4 C  14:05:09 12/08/2026"}},
        {"times that never were",
         "\n21.4 C 24:00:00 12/08/2026\n21.4 C 14:05:09 02/30/2026\n21.4 C 14:05:09 02/29/2027"
         "\nError reading thermometer 14:60:00 12/08/2026",
         {"T:21.4 C 24:00:00 12/08/2026", "T:21.4 C 14:05:09 02/30/2026",
          "T:21.4 C 14:05:09 02/29/2027", "T:Error reading thermometer 14:60:00 12/08/2026"}},
        {"a near miss of the error line",
         "\nError reading thermometers 14:05:10 12/08/2026",
         {"T:Error reading thermometers 14:05:10 12/08/2026"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScanLog whole = scan(c.input);
        EXPECT_EQ(whole.events, c.events);
        EXPECT_EQ(whole.rebuilt, c.input);
        EXPECT_EQ(scan(c.input, 1).events, c.events) << "fed one byte at a time";
    }
    const ScanLog found = scan("\n 0.0 C 00:00:00 01/01/2026\n-0.3 F 00:00:00 01/01/2026");
    ASSERT_EQ(found.records.size(), 2U);
    EXPECT_EQ(found.records[0].value, "0.0");
    EXPECT_EQ(found.records[1].value, "-0.3");
    EXPECT_EQ(found.records[0].unit, 'C');
    EXPECT_EQ(found.records[1].unit, 'F');
}

// Records among random bytes, cut records and very long lines, fed in random pieces: every
// record is found, nothing else is taken for one, and no byte is lost.
TEST(RecordScanner, RecordsSurviveGarbageCutLinesAndLongLines) {
    // A fixed seed, so that a failure comes back on every run until it is mended.
    std::mt19937 random(20261208);  // NOLINT(cert-msc32-c,cert-msc51-cpp)
    auto below = [&random](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    for (int round = 0; round < 40; ++round) {
        std::string input;
        std::vector<std::string> expected;
        for (int piece = 0; piece < 60; ++piece) {
            char line[64];
            std::snprintf(line, sizeof line, "\n%4.1f %c %02zu:%02zu:%02zu %02zu/%02zu/2026",
                          static_cast<double>(below(20000)) / 10 - 1000, "CFK"[below(3)], below(24),
                          below(60), below(60), below(12) + 1, below(28) + 1);
            const std::string record = below(4) == 0
                                           ? "\nError reading thermometer " +
                                                 std::string(line).substr(std::strlen(line) - 19)
                                           : std::string(line);
            switch (below(4)) {
                case 0:
                    // Cut short, and not to be completed by chance by what follows.
                    input += record.substr(0, below(record.size())) + "\x01";
                    break;
                case 1: {
                    const std::size_t length = below(8) == 0 ? 100000 + below(1000) : below(300);
                    for (std::size_t i = 0; i < length; ++i) {
                        input += static_cast<char>(below(4) == 0 ? '\n' : below(256));
                    }
                    break;
                }
                default:
                    input += record;
                    expected.push_back("R:" + record.substr(1));
            }
        }
        const ScanLog whole = scan(input);
        const ScanLog pieces = scan(input, 1 + below(40));
        std::vector<std::string> found;
        for (const std::string& event : whole.events) {
            if (event.starts_with("R:")) {
                found.push_back(event);
            }
        }
        ASSERT_EQ(found, expected) << "round " << round;
        ASSERT_EQ(whole.rebuilt, input) << "round " << round;
        ASSERT_EQ(pieces.events, whole.events) << "round " << round;
    }
}

// What the program prints in a run with a banner, a failed cycle, a log message and a last line
// cut off by its end.
const std::string kRun =
    "\n*** Starting Temperature measurements ***\nUnits=CELCIUS, logging=ON, log frequency=5"
    "\n21.1 C 17:41:49 12/08/2026\nError reading thermometer 17:41:50 12/08/2026"
    "\n70.5 F 17:41:51 12/08/2026\nError opening log file\n294.5 K 17:41:52 12/08/2026"
    "\n21.4 C 17:4";

std::string exportRun(Format format, std::size_t chunk, std::string* aside = nullptr) {
    std::string out;
    std::string others;
    Exporter exporter(
        format, [&out](std::string_view bytes) { out += bytes; }, [] { return std::time_t{0}; },
        [&others](std::string_view bytes) { others += bytes; });
    for (std::size_t at = 0; at < kRun.size(); at += chunk) {
        const std::string_view piece = std::string_view(kRun).substr(at, chunk);
        const std::string_view consumed = std::string_view(kRun).substr(0, at + piece.size());
        exporter.input(piece, at + chunk >= kRun.size() || consumed.ends_with("file"));
        // A record's line is out as soon as its last byte is in.
        if (format != Format::Copy && consumed.ends_with("2026")) {
            EXPECT_TRUE(out.ends_with("2026\n") || out.ends_with("}\n")) << out;
        }
        // A message the program has finished writing ends its line without waiting for the next.
        if (format == Format::Lines && consumed.ends_with("file")) {
            EXPECT_TRUE(out.ends_with("file\n")) << out;
        }
    }
    exporter.end();
    if (aside != nullptr) {
        *aside = others;
    }
    return out;
}

TEST(Exporter, LinesAndJsonOfARunOfTheProgram) {
    const TimeZone utc("UTC0");
    const std::string lines =
        "*** Starting Temperature measurements ***\nUnits=CELCIUS, logging=ON, log frequency=5"
        "\n21.1 C 17:41:49 12/08/2026\nError reading thermometer 17:41:50 12/08/2026"
        "\n70.5 F 17:41:51 12/08/2026\nError opening log file\n294.5 K 17:41:52 12/08/2026"
        "\n21.4 C 17:4\n";
    const std::string json =
        "{\"time\":\"2026-12-08T17:41:49+00:00\",\"value\":21.1,\"unit\":\"C\",\"celsius\":21.1}\n"
        "{\"time\":\"2026-12-08T17:41:50+00:00\",\"error\":\"Error reading thermometer\"}\n"
        "{\"time\":\"2026-12-08T17:41:51+00:00\",\"value\":70.5,\"unit\":\"F\",\"celsius\":21.4}\n"
        "{\"time\":\"2026-12-08T17:41:52+00:00\",\"value\":294.5,\"unit\":\"K\","
        "\"celsius\":21.35}\n";
    for (const std::size_t chunk : {kRun.size(), std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE("pieces of " + std::to_string(chunk));
        EXPECT_EQ(exportRun(Format::Lines, chunk), lines);
        std::string aside;
        EXPECT_EQ(exportRun(Format::Json, chunk, &aside), json);
        // Beside the JSON, the other messages as lines: nothing the program said is lost.
        EXPECT_EQ(aside,
                  "*** Starting Temperature measurements ***\nUnits=CELCIUS, logging=ON, log "
                  "frequency=5\nError opening log file\n21.4 C 17:4\n");
        EXPECT_EQ(exportRun(Format::Copy, chunk), kRun);
    }
}

TEST(Exporter, AnOffsetMovesTheDataButNotTheProgramsLines) {
    const TimeZone utc("UTC0");
    struct Case {
        long hundredths;
        const char* json;  // of 21.1 C, 70.5 F and 294.5 K
        const char* celsius;
    };
    const Case cases[] = {
        {-40,
         "\"value\":20.7,\"unit\":\"C\",\"celsius\":20.7,\"offset\":-0.4}\n"
         "\"value\":69.78,\"unit\":\"F\",\"celsius\":21.0,\"offset\":-0.4}\n"
         "\"value\":294.1,\"unit\":\"K\",\"celsius\":20.95,\"offset\":-0.4}\n",
         "20.95"},
        {125,
         "\"value\":22.35,\"unit\":\"C\",\"celsius\":22.35,\"offset\":1.25}\n"
         "\"value\":72.75,\"unit\":\"F\",\"celsius\":22.65,\"offset\":1.25}\n"
         "\"value\":295.75,\"unit\":\"K\",\"celsius\":22.60,\"offset\":1.25}\n",
         "22.60"},
        {-2150,
         "\"value\":-0.4,\"unit\":\"C\",\"celsius\":-0.4,\"offset\":-21.5}\n"
         "\"value\":31.8,\"unit\":\"F\",\"celsius\":-0.1,\"offset\":-21.5}\n"
         "\"value\":273.0,\"unit\":\"K\",\"celsius\":-0.15,\"offset\":-21.5}\n",
         "-0.15"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hundredths);
        const Offset offset{c.hundredths, true};
        std::string json;
        std::string lines;
        Exporter toJson(
            Format::Json, [&json](std::string_view bytes) { json += bytes; },
            [] { return std::time_t{0}; }, nullptr, offset);
        Exporter toLines(
            Format::Lines, [&lines](std::string_view bytes) { lines += bytes; },
            [] { return std::time_t{0}; }, nullptr, offset);
        for (Exporter* exporter : {&toJson, &toLines}) {
            exporter->input(kRun, true);
            exporter->end();
        }
        std::string values;
        for (std::size_t at = json.find("\"value\""); at != std::string::npos;
             at = json.find("\"value\"", at + 1)) {
            values += json.substr(at, json.find('\n', at) + 1 - at);
        }
        EXPECT_EQ(values, c.json);
        EXPECT_EQ(toJson.readings().celsius, c.celsius);
        EXPECT_NE(exposition(toJson.readings(), "attic", offset)
                      .find("\nquorvane_calibration_offset_celsius{sensor=\"attic\"} " +
                            offsetText(c.hundredths) + "\n"),
                  std::string::npos);
        EXPECT_EQ(lines, exportRun(Format::Lines, kRun.size())) << "the lines as printed";
    }
}

TEST(Exporter, MetricsHaveNoTemperatureBeforeTheFirstGoodReading) {
    Exporter exporter(
        Format::Json, [](std::string_view) {}, [] { return std::time_t{0}; });
    EXPECT_EQ(exposition(exporter.readings(), "attic").find("\nquorvane_temperature_celsius"),
              std::string::npos);
    exporter.input("\nError reading thermometer 17:41:50 12/08/2026", true);
    const std::string failed = exposition(exporter.readings(), "attic");
    EXPECT_EQ(failed.find("\nquorvane_temperature_celsius{"), std::string::npos) << failed;
    EXPECT_EQ(failed.find("\nquorvane_last_reading_timestamp_seconds{"), std::string::npos);
    EXPECT_NE(failed.find("\nquorvane_read_errors_total{sensor=\"attic\"} 1\n"), std::string::npos)
        << failed;
    EXPECT_NE(failed.find("\nquorvane_readings_total{sensor=\"attic\"} 0\n"), std::string::npos)
        << failed;
    EXPECT_TRUE(exporter.takeChanged());
    EXPECT_FALSE(exporter.takeChanged());
}

TEST(Exporter, EverySeriesNamesItsSensor) {
    Exporter exporter(
        Format::Json, [](std::string_view) {}, [] { return std::time_t{0}; });
    exporter.input("\n21.4 C 17:41:50 12/08/2026", true);
    const std::string text = exposition(exporter.readings(), "freezer", Offset{-40, true});
    std::istringstream lines(text);
    int series = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("# ")) {
            ++series;
            EXPECT_NE(line.find("{sensor=\"freezer\"} "), std::string::npos) << line;
        }
    }
    EXPECT_EQ(series, 5) << text;
}

TEST(ZonedTime, TheOffsetInForceDecidesTheHourThatRepeats) {
    // Central European time, without relying on the zone database.
    const TimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
    struct Case {
        quorvane::tools::Timestamp stamp;
        std::time_t arrival;
        const char* iso;
        std::int64_t unix;
    };
    const Case cases[] = {
        // Winter and summer.
        {{2026, 12, 8, 14, 5, 9}, 1796735109, "2026-12-08T14:05:09+01:00", 1796735109},
        {{2026, 7, 1, 12, 0, 0}, 1782900000, "2026-07-01T12:00:00+02:00", 1782900000},
        // The hour that repeats, the first time and the second.
        {{2026, 10, 25, 2, 30, 0}, 1792888200, "2026-10-25T02:30:00+02:00", 1792888200},
        {{2026, 10, 25, 2, 30, 0}, 1792891800, "2026-10-25T02:30:00+01:00", 1792891800},
        // The last second of summer time, arriving after the clock went back: never dated after
        // its arrival.
        {{2026, 10, 25, 2, 59, 59}, 1792890005, "2026-10-25T02:59:59+02:00", 1792889999},
        // A summer stamp read in winter; the hour skipped in spring.
        {{2026, 7, 1, 12, 0, 0}, 1796735109, "2026-07-01T12:00:00+02:00", 1782900000},
        {{2026, 3, 29, 2, 30, 0}, 1774747800, "2026-03-29T02:30:00+02:00", 1774744200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.iso) + " arriving at " + std::to_string(c.arrival));
        const ZonedTime t = placeStamp(c.stamp, c.arrival);
        EXPECT_EQ(iso8601(c.stamp, t.utcOffset), c.iso);
        EXPECT_EQ(t.unixSeconds, c.unix);
    }
    EXPECT_EQ(iso8601({2026, 1, 2, 3, 4, 5}, -(3 * 3600 + 30 * 60)), "2026-01-02T03:04:05-03:30");
}

// Every reading the program can show, in each unit, is a record, and its Celsius value is the
// reading: exactly from Fahrenheit, to within 0.05 degrees from Kelvin. (Left to the sanitizer
// stage, like the other sweeps of the whole range: under valgrind it takes half a minute.)
TEST(Exporter, CelsiusAcrossTheRangeOfEveryUnit) {
    for (int tenths = INT16_MIN; tenths <= INT16_MAX; ++tenths) {
        const double reading = tenths / 10.0;
        for (int unitIndex = 0; unitIndex < 3; ++unitIndex) {
            char line[kLineBufferSize];
            FormatMeasurementLine(line, sizeof line, static_cast<std::int16_t>(tenths), unitIndex,
                                  "14:05:09 12/08/2026");
            const ScanLog found = scan(line);
            ASSERT_EQ(found.records.size(), 1u) << line;
            const auto& record = found.records.front();
            const double celsius =
                std::strtod(celsiusOf(record.value, record.unit).c_str(), nullptr);
            if (unitIndex == 2) {
                ASSERT_LE(std::abs(celsius - reading), 0.05 + 1e-9) << line;
            } else {
                ASSERT_EQ(celsius, std::strtod(std::to_string(reading).c_str(), nullptr)) << line;
            }
        }
    }
}

// A reader that has stopped, behind a full pipe: the backlog keeps the newest lines that fit and
// drops the oldest, each whole and counted, a line longer than the backlog too; what the reader
// takes when it comes back has no line cut short and none glued to another.
TEST(OutputBacklog, AStoppedReaderLosesOnlyWholeLinesEachCounted) {
    const std::string full = std::string(4095, 'x') + "\n";
    struct Case {
        const char* name;
        std::string first;  // what fills the pipe, and more that waits in the write
        std::vector<std::string> writes;
        std::string taken;  // after `first`
        std::uint64_t dropped;
    };
    const Case cases[] = {
        {"the oldest lines go",
         full + "begun\n",
         {"one\n", "two\n", "three\n", "four\n", "five\n", "six\n"},
         "four\nfive\nsix\n",
         3},
        {"the rest of a line begun stays",
         full + "begun",
         {" ended\n", "one\n", "two\n", "six\n"},
         " ended\ntwo\nsix\n",
         1},
        {"a newest line longer than the backlog goes whole",
         full + "begun\n",
         {"one\n", "0123456789", "0123456789", "abc\ntwo\n"},
         "two\n",
         2},
        {"a line begun and longer than the backlog is cut, keeping its newline",
         full + "begun",
         {"0123456789", "0123456789", "abc\n", "two\n"},
         "\ntwo\n",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<int, 2> pipe{};
        ASSERT_EQ(pipe2(pipe.data(), O_CLOEXEC), 0);
        ASSERT_EQ(fcntl(pipe[1], F_SETPIPE_SZ, 4096), 4096);
        const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        std::string taken;
        {
            OutputBacklog backlog(pipe[1], 16, wake, std::chrono::seconds(0));
            backlog.write(c.first);
            // The writing thread waits in its write once the pipe is full.
            ASSERT_TRUE(eventually([&pipe] {
                int waiting = 0;
                return ioctl(pipe[0], FIONREAD, &waiting) == 0 && waiting == 4096;
            }));
            for (const std::string& bytes : c.writes) {
                backlog.write(bytes);
            }
            EXPECT_EQ(backlog.state().dropped, c.dropped);
            std::thread reader([&pipe, &taken] {
                std::array<char, 4096> buffer{};
                for (ssize_t n = 0; (n = read(pipe[0], buffer.data(), buffer.size())) > 0;) {
                    taken.append(buffer.data(), static_cast<std::size_t>(n));
                }
            });
            EXPECT_TRUE(backlog.drain(kPatience));
            close(pipe[1]);
            reader.join();
        }
        close(pipe[0]);
        close(wake);
        ASSERT_TRUE(taken.starts_with(c.first));
        EXPECT_EQ(taken.substr(c.first.size()), c.taken);
    }
}

}  // namespace
