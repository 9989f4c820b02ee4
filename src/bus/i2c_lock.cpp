#include "bus/i2c_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kPathSize = 128;
constexpr std::size_t kLineSize = 256;

// Opens the lock file, making it where it is missing. /run/lock is writable by all and sticky:
// a file that another user made there may be opened but not opened with O_CREAT (the kernel's
// protected_regular), so what is there is opened first and only a missing file is created.
int openLockFile(const char* path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int file = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (file >= 0 || errno != ENOENT) {
            return file;
        }
        file = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (file >= 0 || errno != EEXIST) {
            return file;
        }
    }
    return -1;
}

// The process that holds a flock on the file with this device and inode, as a line of
// /proc/locks gives it ("1: FLOCK  ADVISORY  WRITE 1234 08:01:56789 0 EOF"), or -1. A waiting
// lock's line has "->" where FLOCK stands.
int flockHolder(char* line, const struct stat& node) {
    constexpr int kFields = 6;
    char* field[kFields];
    int count = 0;
    char* rest = nullptr;
    for (char* word = strtok_r(line, " \n", &rest); word != nullptr && count < kFields;
         word = strtok_r(nullptr, " \n", &rest)) {
        field[count++] = word;
    }
    if (count < kFields || std::strcmp(field[1], "FLOCK") != 0) {
        return -1;
    }
    char* end = nullptr;
    const long pid = std::strtol(field[4], &end, 10);
    const unsigned long devMajor = std::strtoul(field[5], &end, 16);
    const unsigned long devMinor = *end == ':' ? std::strtoul(end + 1, &end, 16) : 0;
    const unsigned long inode = *end == ':' ? std::strtoul(end + 1, &end, 10) : 0;
    const bool same = *end == '\0' && devMajor == major(node.st_dev) &&
                      devMinor == minor(node.st_dev) && inode == node.st_ino;
    return same && pid > 0 ? static_cast<int>(pid) : -1;
}

// The process holding the flock on the open file `file`, as the kernel lists it, or -1.
int lockHolder(int file) {
    struct stat node {};
    FILE* locks = fstat(file, &node) == 0 ? std::fopen("/proc/locks", "re") : nullptr;
    if (locks == nullptr) {
        return -1;
    }
    int holder = -1;
    char line[kLineSize];
    while (holder < 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        holder = flockHolder(line, node);
    }
    std::fclose(locks);
    return holder;
}

// The first line of a file in /proc, without its newline; "" when it cannot be read.
void readProcLine(int pid, const char* what, char* out, std::size_t size) {
    char path[kPathSize];
    std::snprintf(path, sizeof path, "/proc/%d/%s", pid, what);
    out[0] = '\0';
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return;
    }
    if (std::fgets(out, static_cast<int>(size), file) == nullptr) {
        out[0] = '\0';
    }
    std::fclose(file);
    out[std::strcspn(out, "\n")] = '\0';
}

// "quorvane_i2c, process 1234", and the service it runs as where systemd started it.
void describeProcess(int pid, char* out, std::size_t size) {
    char name[kLineSize];
    readProcLine(pid, "comm", name, sizeof name);
    // The unified hierarchy's line ("0::/system.slice/system-quorvane.slice/quorvane@a.service")
    // ends with the service's name.
    char group[kLineSize];
    readProcLine(pid, "cgroup", group, sizeof group);
    const char* unit = std::strrchr(group, '/');
    const bool service = unit != nullptr && std::strstr(unit, ".service") != nullptr;
    std::snprintf(out, size, "%s%sprocess %d%s%s", name, name[0] != '\0' ? ", " : "", pid,
                  service ? ", " : "", service ? unit + 1 : "");
}

}  // namespace

void lockPath(int number, int address, char* out, std::size_t size) {
    std::snprintf(out, size, "/run/lock/quorvane-i2c-%d-0x%02x.lock", number,
                  static_cast<unsigned>(address));
}

int lockChip(int number, int address, char* holder, std::size_t holderSize) {
    holder[0] = '\0';
    char path[kPathSize];
    lockPath(number, address, path, sizeof path);
    const int file = openLockFile(path);
    if (file < 0) {
        return -1;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const int pid = error == EWOULDBLOCK ? lockHolder(file) : -1;
        if (pid > 0) {
            describeProcess(pid, holder, holderSize);
        }
        close(file);
        errno = error == EWOULDBLOCK ? EBUSY : error;
        return -1;
    }
    return file;
}
