#include "frontend/logfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* kLogFileName = "quorvane.log";

// Opens the log for one entry: a regular file, created with mode 0666 less the umask. The program
// may run as root in a directory that others can write, so a symbolic link planted there is never
// followed, a FIFO or a device of that name is never written to nor waited on, and a file with a
// second name (a hard link another user may have made to a file of root's) is not appended to.
int openLog() {
    const int fd = open(kLogFileName,
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

// Takes the bytes of an entry cut short back out of the file. With appending, the offset after
// the write is where those bytes end; they go only while they are still the last bytes of the
// file, so that an entry another process appended behind them is never cut.
void takeBack(int fd, ssize_t written) {
    const off_t end = lseek(fd, 0, SEEK_CUR);
    struct stat status {};
    if (end >= written && fstat(fd, &status) == 0 && status.st_size == end) {
        static_cast<void>(ftruncate(fd, end - written));
    }
}

// Appends the entry whole, or nothing of it; false when it is not in the file.
bool appendEntry(int fd, const char* line) {
    const std::size_t length = std::strlen(line);
    const ssize_t written = write(fd, line, length);
    if (written >= 0 && static_cast<std::size_t>(written) == length) {
        return true;
    }
    if (written > 0) {
        takeBack(fd, written);
    }
    return false;
}

}  // namespace

void LogMeasurement(std::int32_t logFrequency, std::int64_t* lastLogTime, const char* line) {
    if (logFrequency < 1) {
        return;
    }
    const std::int64_t now = std::time(nullptr);
    // A clock set back would otherwise silence the log until the old time comes round again.
    if (now < *lastLogTime) {
        *lastLogTime = now;
    }
    if (now < *lastLogTime + logFrequency) {
        return;
    }
    // The entry counts for the schedule even when the file cannot be opened, so a broken log
    // complains once per interval, not once per line.
    *lastLogTime = now;
    const int fd = openLog();
    if (fd < 0) {
        std::printf("\nError opening log file");
        return;
    }
    const bool appended = appendEntry(fd, line);
    // A file system that writes later (NFS) may report a failed write only when the file closes.
    if (close(fd) != 0 || !appended) {
        std::printf("\nError writing log file");
    }
}
