// The periodic log: when an entry is due, what it holds, the two failure messages, and what is
// refused as a log. Every test runs in a fresh directory of its own, since the log lies in the
// current one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "frontend/logfile.h"
#include "kit/cases.h"
#include "kit/child_process.h"
#include "kit/files.h"

namespace {

using namespace quorvane::testkit;
using quorvane::testkit::PrintTo;
namespace fs = std::filesystem;

constexpr const char* kLine = "\n25.1 C 14:05:09 03/07/2024";

// Limits the size of the files this process writes, with SIGXFSZ ignored so that a write beyond
// the limit fails (or is cut short) instead of ending the process; both are undone on leaving.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(std::size_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldAction_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldAction_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit old_{};
    void (*oldAction_)(int) = SIG_DFL;
};

class PeriodicLog : public ::testing::Test {
  protected:
    static bool logExists() { return fs::exists(fs::symlink_status("quorvane.log")); }
    static std::string logText() { return readFile("quorvane.log").value_or(""); }
    static std::int64_t now() { return std::time(nullptr); }

    // Offers kLine to the log and returns what was printed meanwhile.
    static std::string offer(std::int32_t logFrequency, std::int64_t* lastLogTime,
                             const char* line = kLine) {
        return printedBy([&] { LogMeasurement(logFrequency, lastLogTime, line); });
    }

  private:
    const TempDir dir_;
    const WorkingDirectory here_{dir_.path()};
};

TEST_F(PeriodicLog, LoggingOffNeverTouchesTheFile) {
    for (std::int32_t frequency : {-1, 0, -60, INT32_MIN}) {
        SCOPED_TRACE(frequency);
        std::int64_t last = 0;  // long ago: an entry would be due if logging were on
        EXPECT_EQ(offer(frequency, &last), "");
        EXPECT_FALSE(logExists());
        EXPECT_EQ(last, 0);
    }
}

TEST_F(PeriodicLog, DueEntryAppendsTheLineAndMovesTheSchedule) {
    const std::int64_t before = now();
    std::int64_t last = before - 60;
    EXPECT_EQ(offer(60, &last), "");
    EXPECT_EQ(logText(), kLine);
    EXPECT_GE(last, before);
    EXPECT_LE(last, now());
}

TEST_F(PeriodicLog, EntryNotYetDue) {
    // 58 s ago with an interval of 60: not due unless this test stalls for two seconds.
    const std::int64_t start = now() - 58;
    std::int64_t last = start;
    EXPECT_EQ(offer(60, &last), "");
    EXPECT_FALSE(logExists());
    EXPECT_EQ(last, start);
}

TEST_F(PeriodicLog, IntervalOfOneLogsEveryLineOnceASecondHasPassed) {
    std::int64_t last = now() - 1;
    offer(1, &last);
    last = now() - 1;
    offer(1, &last, "\n25.2 C 14:05:11 03/07/2024");
    EXPECT_EQ(logText(), std::string(kLine) + "\n25.2 C 14:05:11 03/07/2024");
}

TEST_F(PeriodicLog, ExistingContentIsKept) {
    writeFile("quorvane.log", "\n24.8 C 14:00:00 03/07/2024");
    std::int64_t last = now() - 10;
    offer(5, &last);
    EXPECT_EQ(logText(), std::string("\n24.8 C 14:00:00 03/07/2024") + kLine);
}

TEST_F(PeriodicLog, ClockSetBackRestartsTheIntervalFromNow) {
    const std::int64_t before = now();
    std::int64_t last = before + 3600;  // the last entry lies an hour in the future
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
        std::int64_t last = now() - 10;
        const std::int64_t start = last;
        offer(frequency, &last);
        EXPECT_FALSE(logExists());
        EXPECT_EQ(last, start);
    }
}

TEST_F(PeriodicLog, FileThatCannotBeOpenedIsReportedAndStillCountsAsAnEntry) {
    ASSERT_TRUE(fs::create_directory("quorvane.log"));
    const std::int64_t before = now();
    std::int64_t last = before - 120;
    EXPECT_EQ(offer(60, &last), "\nError opening log file");
    EXPECT_GE(last, before);
    // Within the new interval nothing is tried, so nothing is reported.
    EXPECT_EQ(offer(60, &last), "");
}

// A file-size limit cuts the entry short, as a full disk does: the message comes and the cut
// entry is taken back out, so the file holds only whole entries.
TEST_F(PeriodicLog, FailedWriteIsReported) {
    const std::string earlier = "\n24.8 C 14:00:00 03/07/2024";
    writeFile("quorvane.log", earlier);
    std::int64_t last = now() - 60;
    std::string printed;
    {
        // Room for ten more bytes: the write is cut, not refused.
        const FileSizeLimit limit(earlier.size() + 10);
        printed = offer(60, &last);
    }
    EXPECT_EQ(printed, "\nError writing log file");
    EXPECT_EQ(logText(), earlier);
}

struct NotAFile {
    const char* name;
    // Makes quorvane.log something else than a regular file in the current directory.
    void (*make)(const fs::path& outside);
};

class LogNotARegularFile : public PeriodicLog, public ::testing::WithParamInterface<NotAFile> {};

// The program may run as root where others can write: whatever stands at the log's name that is
// not a regular file is refused as a log that cannot be opened, and nothing is written anywhere.
TEST_P(LogNotARegularFile, IsRefusedLikeAFileThatCannotBeOpened) {
    const fs::path outside = fs::current_path() / "elsewhere";
    fs::create_directory(outside);
    writeFile(outside / "precious", "precious");
    GetParam().make(outside);

    const std::int64_t before = now();
    std::int64_t last = before - 120;
    EXPECT_EQ(offer(60, &last), "\nError opening log file");
    EXPECT_GE(last, before);

    EXPECT_EQ(readFile(outside / "precious"), "precious");
    EXPECT_FALSE(fs::exists(outside / "created"));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LogNotARegularFile,
    ::testing::Values(NotAFile{"LinkToAFile",
                               [](const fs::path& outside) {
                                   fs::create_symlink(outside / "precious", "quorvane.log");
                               }},
                      NotAFile{"HardLinkToAFile",
                               [](const fs::path& outside) {
                                   fs::create_hard_link(outside / "precious", "quorvane.log");
                               }},
                      NotAFile{"LinkToNothingYet",
                               [](const fs::path& outside) {
                                   fs::create_symlink(outside / "created", "quorvane.log");
                               }},
                      NotAFile{"FifoWithoutReader",
                               [](const fs::path&) { ASSERT_EQ(mkfifo("quorvane.log", 0666), 0); }},
                      NotAFile{"Socket",
                               [](const fs::path&) {
                                   const int s = socket(AF_UNIX, SOCK_STREAM, 0);
                                   sockaddr_un address{};
                                   address.sun_family = AF_UNIX;
                                   std::strcpy(address.sun_path, "quorvane.log");
                                   ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address),
                                                  sizeof address),
                                             0);
                                   close(s);
                               }}),
    kByName);

// A FIFO that someone holds open for reading: the entry would sit in its buffer, and a full buffer
// would stop the program for good.
TEST_F(PeriodicLog, FifoWithAReaderGetsNothing) {
    ASSERT_EQ(mkfifo("quorvane.log", 0666), 0);
    const int reader = open("quorvane.log", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::int64_t last = now() - 60;
    EXPECT_EQ(offer(60, &last), "\nError opening log file");
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0);
    close(reader);
}

// Another user who can write to the directory plants the link, and root runs the program there.
// In a sticky world-writable directory the kernel itself may refuse to follow it; in a directory
// that user owns, nothing but the program stands in the way.
TEST_F(PeriodicLog, LinkPlantedByAnotherUserIsNeverFollowedByRoot) {
    if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root and setpriv to plant a link as another user";
    }
    constexpr int kNobody = 65534;
    const fs::path here = fs::current_path();
    fs::permissions(here, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const fs::path precious = here / "precious";
    writeFile(precious, "precious");
    const fs::path sticky = here / "sticky";
    const fs::path owned = here / "owned";
    fs::create_directory(sticky);
    fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
    fs::create_directory(owned);
    ASSERT_EQ(chown(owned.c_str(), kNobody, kNobody), 0);

    for (const fs::path& dir : {sticky, owned}) {
        for (const fs::path& target : {precious, here / "created"}) {
            SCOPED_TRACE(dir.filename().string() + " -> " + target.filename().string());
            fs::remove(dir / "quorvane.log");
            const ProgramResult plant =
                runProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "/bin/ln", "-s", target.string(), (dir / "quorvane.log").string()});
            ASSERT_EQ(plant.status, 0) << plant.err;
            ASSERT_TRUE(fs::is_symlink(dir / "quorvane.log"));

            fs::current_path(dir);
            std::int64_t last = now() - 60;
            EXPECT_EQ(offer(60, &last), "\nError opening log file");
            fs::current_path(here);

            EXPECT_EQ(readFile(precious), "precious");
            EXPECT_FALSE(fs::exists(here / "created"));
        }
    }
}

}  // namespace
