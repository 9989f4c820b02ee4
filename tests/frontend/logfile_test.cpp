// The periodic log: when an entry is due, what it holds, and the two failure messages. Every
// test runs in a fresh directory of its own, since the log lies in the current one.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "frontend/logfile.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kLine = "\n25.1 C 14:05:09 03/07/2024";

class PeriodicLog : public ::testing::Test {
  protected:
    void SetUp() override {
        oldDir_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "quorvane-log-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(oldDir_);
        fs::remove_all(dir_);
    }

    static bool logExists() { return fs::exists(fs::symlink_status("quorvane.log")); }
    static std::string logText() {
        std::ifstream in("quorvane.log", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static std::int32_t now() { return static_cast<std::int32_t>(std::time(nullptr)); }

    // Offers kLine to the log and returns what was printed meanwhile.
    static std::string offer(std::int32_t logFrequency, std::int32_t* lastLogTime,
                             const char* line = kLine) {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        LogMeasurement(logFrequency, lastLogTime, line);
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

  private:
    fs::path oldDir_;
    fs::path dir_;
};

TEST_F(PeriodicLog, LoggingOffNeverTouchesTheFile) {
    for (std::int32_t frequency : {-1, 0, -60, INT32_MIN}) {
        SCOPED_TRACE(frequency);
        std::int32_t last = 0;  // long ago: an entry would be due if logging were on
        EXPECT_EQ(offer(frequency, &last), "");
        EXPECT_FALSE(logExists());
        EXPECT_EQ(last, 0);
    }
}

TEST_F(PeriodicLog, DueEntryAppendsTheLineAndMovesTheSchedule) {
    const std::int32_t before = now();
    std::int32_t last = before - 60;
    EXPECT_EQ(offer(60, &last), "");
    EXPECT_EQ(logText(), kLine);
    EXPECT_GE(last, before);
    EXPECT_LE(last, now());
}

TEST_F(PeriodicLog, EntryNotYetDue) {
    // 58 s ago with an interval of 60: not due unless this test stalls for two seconds.
    const std::int32_t start = now() - 58;
    std::int32_t last = start;
    EXPECT_EQ(offer(60, &last), "");
    EXPECT_FALSE(logExists());
    EXPECT_EQ(last, start);
}

TEST_F(PeriodicLog, IntervalOfOneLogsEveryLineOnceASecondHasPassed) {
    std::int32_t last = now() - 1;
    offer(1, &last);
    last = now() - 1;
    offer(1, &last, "\n25.2 C 14:05:11 03/07/2024");
    EXPECT_EQ(logText(), std::string(kLine) + "\n25.2 C 14:05:11 03/07/2024");
}

TEST_F(PeriodicLog, ExistingContentIsKept) {
    {
        std::ofstream out("quorvane.log", std::ios::binary);
        out << "\n24.8 C 14:00:00 03/07/2024";
    }
    std::int32_t last = now() - 10;
    offer(5, &last);
    EXPECT_EQ(logText(), std::string("\n24.8 C 14:00:00 03/07/2024") + kLine);
}

TEST_F(PeriodicLog, ClockSetBackRestartsTheIntervalFromNow) {
    const std::int32_t before = now();
    std::int32_t last = before + 3600;  // the last entry lies an hour in the future
    EXPECT_EQ(offer(60, &last), "");
    EXPECT_FALSE(logExists());
    EXPECT_GE(last, before);
    EXPECT_LE(last, now());

    // From there the interval runs as usual.
    last -= 60;
    offer(60, &last);
    EXPECT_EQ(logText(), kLine);
}

TEST_F(PeriodicLog, HugeIntervalNeverWrapsIntoBeingDue) {
    for (std::int32_t frequency : {INT32_MAX, INT32_MAX - 1, INT32_MAX / 2 + 1}) {
        SCOPED_TRACE(frequency);
        std::int32_t last = now() - 10;
        const std::int32_t start = last;
        offer(frequency, &last);
        EXPECT_FALSE(logExists());
        EXPECT_EQ(last, start);
    }
}

TEST_F(PeriodicLog, FileThatCannotBeOpenedIsReportedAndStillCountsAsAnEntry) {
    ASSERT_TRUE(fs::create_directory("quorvane.log"));
    const std::int32_t before = now();
    std::int32_t last = before - 120;
    EXPECT_EQ(offer(60, &last), "\nError opening log file");
    EXPECT_GE(last, before);
    // Within the new interval nothing is tried, so nothing is reported.
    EXPECT_EQ(offer(60, &last), "");
}

TEST_F(PeriodicLog, FailedWriteIsReported) {
    std::error_code error;
    fs::create_symlink("/dev/full", "quorvane.log", error);
    if (error || !fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full here";
    }
    std::int32_t last = now() - 60;
    EXPECT_EQ(offer(60, &last), "\nError writing log file");
}

}  // namespace
