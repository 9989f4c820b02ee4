// The periodic log, watched from outside: quorvane_sim runs under an accelerated clock in a
// fresh directory, and what lands in quorvane.log is compared with what was printed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "kit/cases.h"
#include "kit/console_texts.h"
#include "kit/shown_line.h"
#include "kit/sim_run.h"

namespace {

using namespace quorvane::testkit;
using quorvane::testkit::PrintTo;

constexpr const char* kLogName = "quorvane.log";
// A line's stamp is read just before the log reads the clock for its schedule. On the
// accelerated clock the moment between can be seconds: a busy machine may hold the program
// there for some milliseconds (a reader woken by the line takes its processor). The schedule's
// checks allow this much between the two readings, up to 33 ms at sixty times real time.
constexpr int kStampLag = 2;
constexpr const char* kOpenError = "\nError opening log file";
constexpr const char* kWriteError = "\nError writing log file";

// What a stopped run left behind.
struct StoppedRun {
    std::string output;
    std::vector<std::string> messages;
    std::vector<ShownLine> printed;
    std::optional<std::string> log;
};

// Stops the program with sig and collects its output and log. The program installs no handler,
// so the signal ends it.
StoppedRun stop(ChildProcess& sim, const TempDir& dir, int sig = SIGINT) {
    const auto end = sim.stop(sig);
    EXPECT_TRUE(end.has_value()) << "still running after signal " << sig;
    if (end) {
        EXPECT_EQ(end->signal, sig);
    }
    StoppedRun run;
    run.output = sim.output();
    run.messages = splitMessages(run.output);
    run.printed = measurementLines(run.output);
    run.log = readFile(dir.path() / kLogName);
    return run;
}

// The entries of a log: whole measurement lines, one after the other. The file starts with an
// empty line (the first entry's newline) and does not end with a newline.
std::vector<ShownLine> entriesOf(const std::string& content) {
    std::vector<ShownLine> entries;
    if (content.empty()) {
        return entries;
    }
    EXPECT_EQ(content.front(), '\n');
    EXPECT_NE(content.back(), '\n');
    for (const auto& message : splitMessages(content)) {
        const auto entry = parseMeasurementLine(message);
        EXPECT_TRUE(entry.has_value()) << "not a whole entry: [" << message << "]";
        if (entry) {
            entries.push_back(*entry);
        }
    }
    return entries;
}

// Where each entry stands among the printed lines: every entry must be a line that was printed,
// in the order printed.
std::vector<std::size_t> positionsIn(const std::vector<ShownLine>& entries,
                                     const std::vector<ShownLine>& printed) {
    std::vector<std::size_t> at;
    std::size_t next = 0;
    for (const auto& entry : entries) {
        while (next < printed.size() && printed[next].text != entry.text) {
            ++next;
        }
        if (next == printed.size()) {
            ADD_FAILURE() << "logged but never printed: [" << entry.text << "]";
            return at;
        }
        at.push_back(next++);
    }
    return at;
}

// The spacing of entries in seconds, recorded with the test's result.
std::string recordSpacing(const std::vector<ShownLine>& entries) {
    std::string spacing;
    for (std::size_t i = 1; i < entries.size(); ++i) {
        spacing += (i > 1 ? "," : "") + std::to_string(entries[i].seconds - entries[i - 1].seconds);
    }
    ::testing::Test::RecordProperty("entry_spacing_seconds", spacing);
    std::cout << "entry spacing (s): " << spacing << '\n';
    return spacing;
}

void expectOnlyMeasurementLines(const StoppedRun& run) {
    for (const auto& message : run.messages) {
        EXPECT_TRUE(parseMeasurementLine(message).has_value())
            << "unexpected message: [" << message << "]";
    }
}

TEST(LogFile, EveryMinuteOneEntryPerIntervalRoundedUpToTheNextMeasurement) {
    TempDir dir;
    auto sim = startSim(dir.path(), {"-l60"});
    ASSERT_TRUE(waitForTime(sim, kClockStartSeconds + 3L * 60 + 10)) << sim.output();
    const StoppedRun run = stop(sim, dir);
    expectOnlyMeasurementLines(run);

    ASSERT_TRUE(run.log.has_value());
    const auto entries = entriesOf(*run.log);
    ASSERT_GE(entries.size(), 3U);
    const auto at = positionsIn(entries, run.printed);
    ASSERT_EQ(at.size(), entries.size());
    recordSpacing(entries);

    // Nothing before the clock shows 60 more than at the start, which is no later than the
    // first line; the first entry comes once it does.
    EXPECT_GE(entries[0].seconds, kClockStartSeconds + 60 - kStampLag);
    for (std::size_t i = 0; i < at[0]; ++i) {
        EXPECT_LE(run.printed[i].seconds, run.printed[0].seconds + 59) << run.printed[i].text;
    }
    for (std::size_t k = 0; k + 1 < entries.size(); ++k) {
        // At least an interval apart ...
        EXPECT_GE(entries[k + 1].seconds - entries[k].seconds, 60 - kStampLag)
            << entries[k + 1].text;
        // ... and at the first measurement after it: the line before was not yet due.
        EXPECT_LE(run.printed[at[k + 1] - 1].seconds, entries[k].seconds + 60 + kStampLag - 1)
            << entries[k + 1].text;
    }
    // No entry was skipped at the end (the last line may have been printed but not yet logged).
    for (std::size_t i = at.back() + 1; i + 1 < run.printed.size(); ++i) {
        EXPECT_LE(run.printed[i].seconds, entries.back().seconds + 60 + kStampLag - 1)
            << run.printed[i].text;
    }
}

TEST(LogFile, EverySecondLogsEveryLine) {
    TempDir dir;
    auto sim = startSim(dir.path(), {"-l1"});
    ASSERT_TRUE(waitForLines(sim, 10)) << sim.output();
    const StoppedRun run = stop(sim, dir);
    expectOnlyMeasurementLines(run);

    ASSERT_TRUE(run.log.has_value());
    const auto entries = entriesOf(*run.log);
    recordSpacing(entries);
    // The process may die between printing a line and logging it, never the other way round.
    ASSERT_GE(entries.size() + 1, run.printed.size());
    ASSERT_LE(entries.size(), run.printed.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].text, run.printed[i].text);
    }
}

struct NoLogCase {
    const char* name;
    const char* option;
    const char* bannerTail;
};

class LogOff : public ::testing::TestWithParam<NoLogCase> {};

// Logging off, or an interval longer than any run, never creates the file or says anything
// about it; measuring goes on undisturbed.
TEST_P(LogOff, NeverCreatesTheFile) {
    const NoLogCase& c = GetParam();
    TempDir dir;
    auto sim = startSim(dir.path(), {"-v", c.option});
    ASSERT_TRUE(waitForTime(sim, kClockStartSeconds + 70)) << sim.output();
    const StoppedRun run = stop(sim, dir);

    const std::string banner = std::string(kStartLine) + "\nUnits=CELCIUS, " + c.bannerTail;
    ASSERT_EQ(run.output.substr(0, banner.size()), banner);
    // Only lines, measured past seventy seconds (waited for above).
    for (const auto& message : splitMessages(run.output.substr(banner.size()))) {
        EXPECT_TRUE(parseMeasurementLine(message).has_value()) << "[" << message << "]";
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / kLogName));
}

INSTANTIATE_TEST_SUITE_P(Options, LogOff,
                         ::testing::Values(NoLogCase{"Zero", "-l0", "logging=OFF"},
                                           NoLogCase{"MinusOne", "-l-1", "logging=OFF"},
                                           NoLogCase{"NotANumber", "-lx", "logging=OFF"},
                                           NoLogCase{"NoSeconds", "-l", "logging=OFF"},
                                           NoLogCase{"LargestInterval", "-l2147483647",
                                                     "logging=ON, log frequency=2147483647"},
                                           NoLogCase{"BeyondLargestHeldThere", "-l99999999999",
                                                     "logging=ON, log frequency=2147483647"}),
                         kByName);

TEST(LogFile, ExistingFileKeepsItsContentAndGrowsAtItsEnd) {
    TempDir dir;
    const std::string earlier = "\n20.5 C 23:59:58 12/07/2026\n20.6 C 23:59:59 12/07/2026";
    writeFile(dir.path() / kLogName, earlier);
    auto sim = startSim(dir.path(), {"-l1"});
    ASSERT_TRUE(waitForLines(sim, 4)) << sim.output();
    const StoppedRun run = stop(sim, dir);

    ASSERT_TRUE(run.log.has_value());
    ASSERT_EQ(run.log->substr(0, earlier.size()), earlier);
    const auto entries = entriesOf(run.log->substr(earlier.size()));
    ASSERT_GE(entries.size(), 3U);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].text, run.printed[i].text);
    }
}

TEST(LogFile, UnopenableFileComplainsOncePerIntervalAndMeasuringGoesOn) {
    TempDir dir;
    // A directory cannot be opened for appending, even by root.
    std::filesystem::create_directory(dir.path() / kLogName);
    auto sim = startSim(dir.path(), {"-l5"});
    ASSERT_TRUE(waitForTime(sim, kClockStartSeconds + 41)) << sim.output();
    const StoppedRun run = stop(sim, dir);

    // Each complaint follows the line it was for; the stamps of those lines give the spacing.
    std::vector<ShownLine> complainedAbout;
    std::vector<std::size_t> at;  // their places among the printed lines
    std::size_t lines = 0;
    for (std::size_t i = 0; i < run.messages.size(); ++i) {
        if (parseMeasurementLine(run.messages[i])) {
            ++lines;
            continue;
        }
        ASSERT_EQ(run.messages[i], kOpenError);
        ASSERT_GT(i, 0U);
        const auto before = parseMeasurementLine(run.messages[i - 1]);
        ASSERT_TRUE(before.has_value()) << "a complaint not after a line";
        complainedAbout.push_back(*before);
        at.push_back(lines - 1);
    }
    recordSpacing(complainedAbout);
    ASSERT_GE(complainedAbout.size(), 5U);
    EXPECT_GE(complainedAbout[0].seconds, kClockStartSeconds + 5 - kStampLag);
    for (std::size_t k = 1; k < complainedAbout.size(); ++k) {
        // Once per interval: not sooner, and not skipping one (the line before was not due).
        EXPECT_GE(complainedAbout[k].seconds - complainedAbout[k - 1].seconds, 5 - kStampLag);
        EXPECT_LE(run.printed[at[k] - 1].seconds,
                  complainedAbout[k - 1].seconds + 5 + kStampLag - 1);
    }
    // Measuring went on all along: lines until the end, more than thirty seconds after the
    // first complaint.
    EXPECT_GT(run.printed.back().seconds, complainedAbout[0].seconds + 30);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / kLogName));
}

// A file-size limit cuts each entry short, as a full disk does: every cut entry is reported and
// taken back, so the file keeps only what it held.
TEST(LogFile, FullDiskReportsEveryFailedWrite) {
    TempDir dir;
    const std::string earlier = "\n20.5 C 23:59:58 12/07/2026";
    writeFile(dir.path() / kLogName, earlier);
    // Room for ten more bytes; SIGXFSZ ignored, so that the write fails instead of the program.
    const std::string shell =
        "trap '' XFSZ; exec /usr/bin/prlimit --fsize=" + std::to_string(earlier.size() + 10) +
        " -- \"$@\"";
    auto sim = startSim(dir.path(), {"-l1"}, {.shell = shell});
    ASSERT_TRUE(waitForLines(sim, 5)) << sim.output();
    const StoppedRun run = stop(sim, dir);

    // Line, complaint, line, complaint ... (the last line may not have reached the log).
    ASSERT_GE(run.messages.size(), 8U);
    for (std::size_t i = 0; i + 1 < run.messages.size(); i += 2) {
        EXPECT_TRUE(parseMeasurementLine(run.messages[i]).has_value()) << run.messages[i];
        EXPECT_EQ(run.messages[i + 1], kWriteError);
    }
    EXPECT_EQ(run.log, earlier);
}

struct NotAFileCase {
    const char* name;
    bool reader;  // someone holds the FIFO open for reading and never reads
};

class LogIsAFifo : public ::testing::TestWithParam<NotAFileCase> {};

// Entries written into a FIFO vanish, or fill its buffer and stop the program for good. The
// reader's buffer is full from the start here, so a single entry written would stop it.
TEST_P(LogIsAFifo, IsRefusedAndMeasuringGoesOn) {
    TempDir dir;
    const auto fifo = dir.path() / kLogName;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    int reader = -1;
    if (GetParam().reader) {
        reader = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        const std::string block(4096, 'x');
        while (write(reader, block.data(), block.size()) > 0) {
        }
    }
    auto sim = startSim(dir.path(), {"-l1"});
    const bool measuring = waitForLines(sim, 10);
    const StoppedRun run = stop(sim, dir);
    if (reader >= 0) {
        close(reader);
    }
    ASSERT_TRUE(measuring) << run.output;
    // Line, complaint, line, complaint ...
    for (std::size_t i = 0; i + 1 < run.messages.size(); i += 2) {
        EXPECT_TRUE(parseMeasurementLine(run.messages[i]).has_value()) << run.messages[i];
        EXPECT_EQ(run.messages[i + 1], kOpenError);
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, LogIsAFifo,
                         ::testing::Values(NotAFileCase{"WithoutReader", false},
                                           NotAFileCase{"WithFullIdleReader", true}),
                         kByName);

class LateClock : public ::testing::TestWithParam<const char*> {};

// The schedule in whole seconds of a clock past what 32 bits hold: entries stay an interval
// apart when the count crosses 2^31 (03:14:08 UTC on 19 January 2038) and long after.
TEST_P(LateClock, EntriesStayAnIntervalApart) {
    TempDir dir;
    const auto clockFile = dir.path() / "clock";
    writeClockFile(clockFile, clockSetting(GetParam(), kClockRate));
    auto sim = startSim(dir.path(), {"-l30"}, {.clockFile = clockFile});
    ASSERT_TRUE(waitForLines(sim, 100)) << sim.output();
    const StoppedRun run = stop(sim, dir);

    ASSERT_TRUE(run.log.has_value());
    const auto entries = entriesOf(*run.log);
    recordSpacing(entries);
    ASSERT_GE(entries.size(), 3U);
    const auto at = positionsIn(entries, run.printed);
    ASSERT_EQ(at.size(), entries.size());
    for (std::size_t k = 0; k + 1 < entries.size(); ++k) {
        // An interval apart, and none skipped: the line before was not yet due.
        EXPECT_GE(entries[k + 1].seconds - entries[k].seconds, 30 - kStampLag)
            << entries[k + 1].text;
        EXPECT_LE(run.printed[at[k + 1] - 1].seconds, entries[k].seconds + 30 + kStampLag - 1)
            << entries[k + 1].text;
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, LateClock,
                         ::testing::Values("2038-01-19 03:12:30", "2040-02-29 12:00:00"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return std::string(p.param).substr(0, 4) == "2038" ? "Crossing2038"
                                                                                : "In2040";
                         });

struct OutputCase {
    const char* name;
    const char* shell;  // how the program's standard output is set up
    bool readerGone;    // the test closes the pipe it reads the output from
};

class BrokenOutput : public ::testing::TestWithParam<OutputCase> {};

// With SIGPIPE ignored, as a service manager starts it, the program learns that nobody reads its
// lines only from the failed write: then it ends with status 1. Any other failure of standard
// output is no reason to stop measuring and logging.
TEST_P(BrokenOutput, EndsOnlyWhenTheReaderIsGone) {
    const OutputCase& c = GetParam();
    TempDir dir;
    auto sim = startSim(dir.path(), {"-l1"}, {.shell = c.shell});
    const auto log = dir.path() / kLogName;
    if (c.readerGone) {
        ASSERT_TRUE(waitForLines(sim, 3)) << sim.output();
        sim.closeOutput();
        const auto end = sim.wait();
        ASSERT_TRUE(end.has_value()) << "still running with nobody reading its output";
        EXPECT_TRUE(end->exited);
        EXPECT_EQ(end->exitCode, 1);
        return;
    }
    // The lines go nowhere; the log shows that measuring goes on, with whole entries only.
    eventually([&log] { return entriesOf(readFile(log).value_or("")).size() >= 8; });
    const StoppedRun run = stop(sim, dir);
    ASSERT_TRUE(run.log.has_value());
    EXPECT_GE(entriesOf(*run.log).size(), 8U);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, BrokenOutput,
    ::testing::Values(OutputCase{"ReaderGone", "trap '' PIPE; exec \"$@\"", true},
                      OutputCase{"FullDevice", "trap '' PIPE; exec \"$@\" >/dev/full", false},
                      // The log's descriptor then takes the number of standard output.
                      OutputCase{"Closed", "trap '' PIPE; exec \"$@\" >&-", false}),
    kByName);

TEST(LogFile, ClockSetBackAnHourDoesNotSilenceTheLog) {
    TempDir dir;
    const auto clockFile = dir.path() / "clock";
    writeClockFile(clockFile, clockSetting(kClockStart, kClockRate));
    auto sim = startSim(dir.path(), {"-l10"}, {.clockFile = clockFile});
    ASSERT_TRUE(waitForTime(sim, kClockStartSeconds + 25)) << sim.output();

    const std::int64_t hourBefore = kClockStartSeconds - 3600;
    writeClockFile(clockFile, clockSetting("2026-12-08 09:00:00", kClockRate));
    ASSERT_TRUE(sim.readUntil([](const std::string& out) {
        const auto lines = measurementLines(out);
        return !lines.empty() && lines.back().seconds >= hourBefore + 45 &&
               lines.back().seconds < kClockStartSeconds;
    })) << sim.output();
    const StoppedRun run = stop(sim, dir);

    ASSERT_TRUE(run.log.has_value());
    const auto entries = entriesOf(*run.log);
    const auto at = positionsIn(entries, run.printed);
    ASSERT_EQ(at.size(), entries.size());
    std::vector<ShownLine> before;
    std::vector<ShownLine> after;
    for (const auto& entry : entries) {
        (entry.seconds >= kClockStartSeconds ? before : after).push_back(entry);
    }
    std::size_t firstLineAfter = 0;
    while (firstLineAfter + 1 < run.printed.size() &&
           run.printed[firstLineAfter].seconds >= kClockStartSeconds) {
        ++firstLineAfter;
    }
    EXPECT_GE(before.size(), 2U);
    // The log resumes one interval after the clock went back, not an hour later.
    ASSERT_GE(after.size(), 3U);
    EXPECT_LE(after[0].seconds, run.printed[firstLineAfter].seconds + 10 + 2 + kStampLag);
    recordSpacing(after);
    for (std::size_t k = 1; k < after.size(); ++k) {
        EXPECT_GE(after[k].seconds - after[k - 1].seconds, 10 - kStampLag);
    }
}

class Stopped : public ::testing::TestWithParam<int> {};

// The output goes to a pipe, which the C library buffers: every line printed must reach it before
// the signal ends the program, and the log holds whole entries only.
TEST_P(Stopped, LosesNoPrintedLineAndLeavesWholeEntries) {
    const int sig = GetParam();
    TempDir dir;
    auto sim = startSim(dir.path(), {"-l1"});
    ASSERT_TRUE(waitForLines(sim, 6)) << sim.output();
    const StoppedRun run = stop(sim, dir, sig);

    expectOnlyMeasurementLines(run);
    ASSERT_TRUE(run.log.has_value());
    const auto entries = entriesOf(*run.log);
    // Every logged line was printed first; a buffered line would be missing from the pipe.
    ASSERT_GE(entries.size(), 5U);
    const auto at = positionsIn(entries, run.printed);
    ASSERT_EQ(at.size(), entries.size());
    EXPECT_GE(entries.size() + 1, run.printed.size());
}

INSTANTIATE_TEST_SUITE_P(Signals, Stopped, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return p.param == SIGINT ? std::string("Interrupt")
                                                      : std::string("Terminate");
                         });

}  // namespace
