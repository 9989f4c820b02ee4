#include "kit/fake_kernel.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>

#include "kit/fake_clock.h"

namespace quorvane::testkit {

namespace {

constexpr std::int64_t kNanosPerMicro = 1000;
// Longer gaps between ioctls than this are a stopped program, not bus time.
constexpr std::int64_t kLongestGap = 10 * sim::kMicrosPerSecond * kNanosPerMicro;

}  // namespace

FakeDevice::FakeDevice(const std::optional<double>& celsius, bool realSleep,
                       const std::string& journal)
    : sim_(sim::roomDrift()),
      realSleep_(realSleep),
      caughtUpTo_(FakeClock::now()),
      cycleFrom_(caughtUpTo_),
      cycleSleeps_(FakeClock::sleeps()),
      cycleReadings_(FakeClock::readings()) {
    if (celsius) {
        sim_.setTemperature(*celsius);
    }
    sim_.setRealSleep(false);
    if (!journal.empty()) {
        journalFd_ = libcFunction<OpenFunction>("open")(
            journal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

FakeDevice::~FakeDevice() {
    sim_.setLineObserver(nullptr);
    if (journalFd_ >= 0) {
        libcFunction<CloseFunction>("close")(journalFd_);
    }
}

int FakeDevice::serveIoctl(int fd, unsigned long request, void* argument) {
    ++ioctls_;
    if (observer_) {
        observer_();
    }
    catchUp();
    return ioctl(fd, request, argument);
}

void FakeDevice::catchUp() {
    const std::int64_t now = FakeClock::now();
    const std::int64_t gap = std::min(now - caughtUpTo_, kLongestGap);
    caughtUpTo_ = now;
    for (std::int64_t t = 0; t < gap / kNanosPerMicro; ++t) {
        static_cast<void>(sim_.input(sim::ParallelPort::kDefaultBase));
    }
}

unsigned int FakeDevice::sleep(unsigned int seconds) {
    noteCycle();
    sim_.sleepSeconds(seconds);
    FakeClock::passSeconds(seconds);
    const unsigned int left = realSleep_ ? libcFunction<SleepFunction>("sleep")(seconds) : 0;
    // The sleep's time is counted once, by the simulation, not again at the next ioctl.
    caughtUpTo_ = cycleFrom_ = FakeClock::now();
    return left;
}

void FakeDevice::noteCycle() {
    const auto count = [](std::uint64_t now, std::uint64_t& from) {
        const std::uint64_t since = now - from;
        from = now;
        return std::to_string(since);
    };
    note("cycle took=" + std::to_string((FakeClock::now() - cycleFrom_) / kNanosPerMicro) +
         " waits=" + count(FakeClock::sleeps(), cycleSleeps_) + " readings=" +
         count(FakeClock::readings(), cycleReadings_) + " ioctls=" + count(ioctls_, cycleIoctls_) +
         " shortest=" + std::to_string(shortestChange_));
    shortestChange_ = -1;
}

void FakeDevice::watchBus() {
    const sim::LineState& now = sim_.lineState();
    analyser_.reset(now.scl, now.sda);
    scl_ = now.scl;
    pullsSda_ = now.masterPullsSdaLow;
    sim_.setLineObserver([this](const sim::LineState& s) {
        if (s.scl != scl_ || s.masterPullsSdaLow != pullsSda_) {
            const std::int64_t at = FakeClock::now() / kNanosPerMicro;
            if (changedAt_ >= 0 && (shortestChange_ < 0 || at - changedAt_ < shortestChange_)) {
                shortestChange_ = at - changedAt_;
            }
            changedAt_ = at;
            scl_ = s.scl;
            pullsSda_ = s.masterPullsSdaLow;
        }
        analyser_.newLevels(s.scl, s.sda, s.time);
        for (const BusEvent& e : analyser_.events()) {
            note("bus " + e.token);
        }
        analyser_.clearEvents();
    });
}

void FakeDevice::note(const std::string& entry) {
    journal_.push_back(entry);
    if (journalFd_ >= 0) {
        // One write a line: the journal is whole up to the moment the program was killed.
        const std::string line = entry + "\n";
        static_cast<void>(!write(journalFd_, line.data(), line.size()));
    }
}

namespace {

std::unique_ptr<FakeDevice>& deviceSlot() {
    static std::unique_ptr<FakeDevice> slot;
    return slot;
}

bool takesMode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int openFile(const char* path, int flags, mode_t mode) {
    if (fakeDevice().serves(path)) {
        return fakeDevice().open(path, flags);
    }
    const std::string moved = fakeDevice().fileInWorld(path);
    return libcFunction<OpenFunction>("open")(moved.empty() ? path : moved.c_str(), flags, mode);
}

// The path a call on `path` goes to: the world's place for it, or the path itself.
const char* placeOf(const char* path, std::string& moved) {
    moved = path != nullptr ? fakeDevice().fileInWorld(path) : std::string();
    return moved.empty() ? path : moved.c_str();
}

}  // namespace

FakeDevice& fakeDevice() {
    std::unique_ptr<FakeDevice>& device = deviceSlot();
    if (!device) {
        device = deviceFromEnvironment();
    }
    return *device;
}

void replaceFakeDevice(std::unique_ptr<FakeDevice> device) {
    std::unique_ptr<FakeDevice>& slot = deviceSlot();
    slot.reset();
    slot = std::move(device);
}

}  // namespace quorvane::testkit

// The entry points, in front of libc's.
using namespace quorvane::testkit;

extern "C" {

int open(const char* file, int oflag, ...) {
    va_list rest;
    va_start(rest, oflag);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start has just begun it
    const mode_t mode = takesMode(oflag) ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    return openFile(file, oflag, mode);
}

// The same function under its large-file name.
int open64(const char* file, int oflag, ...) __attribute__((alias("open")));

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list rest;
    va_start(rest, request);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    if (fakeDevice().owns(fd)) {
        return fakeDevice().serveIoctl(fd, request, argument);
    }
    return libcFunction<IoctlFunction>("ioctl")(fd, request, argument);
}

int close(int fd) {
    if (fakeDevice().owns(fd)) {
        return fakeDevice().close(fd);
    }
    return libcFunction<CloseFunction>("close")(fd);
}

unsigned int sleep(unsigned int seconds) {
    return fakeDevice().sleep(seconds);
}

DIR* opendir(const char* name) {
    std::string moved;
    DIR* dir = libcFunction<OpendirFunction>("opendir")(placeOf(name, moved));
    if (dir != nullptr) {
        fakeDevice().directoryOpened(name, dir);
    }
    return dir;
}

ssize_t readlink(const char* path, char* buf, std::size_t len) noexcept {
    std::string moved;
    return libcFunction<ReadlinkFunction>("readlink")(placeOf(path, moved), buf, len);
}

}  // extern "C"
