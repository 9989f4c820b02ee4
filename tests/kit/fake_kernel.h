// What the fakes of the kernel's devices (fake_parport.h, fake_gpiochip.h, fake_i2c.h) share,
// compiled into each fake's library: the entry points in front of libc's (open, ioctl, close,
// sleep, opendir, readlink), which hand the device's own paths and descriptors to the device,
// the files its world keeps elsewhere to their place, and everything else to libc; the one device
// behind them; the clock (fake_clock.h); and the simulated port it serves from, whose time follows
// that clock, with the journal of what it saw.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <sys/types.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "kit/bus_analyser.h"
#include "sim/simulation.h"

namespace quorvane::testkit {

// libc's function of that name, the one the fake stands in front of.
template <typename Function>
Function* libcFunction(const char* name) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's result is a function
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}
using OpenFunction = int(const char*, int, ...);
using IoctlFunction = int(int, unsigned long, ...);
using CloseFunction = int(int);
using SleepFunction = unsigned int(unsigned int);
using OpendirFunction = DIR*(const char*);
using ReadlinkFunction = ssize_t(const char*, char*, std::size_t);

// A device as the kernel presents it to the calls, with the simulated port and thermometer behind
// it, at the room's drifting temperature or a fixed one.
class FakeDevice {
  public:
    FakeDevice(const std::optional<double>& celsius, bool realSleep, const std::string& journal);
    virtual ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // Whether an open of path reaches the device, and whether a descriptor is one of its files.
    virtual bool serves(const char* path) const = 0;
    virtual bool owns(int fd) const = 0;
    virtual int open(const char* path, int flags) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual int close(int fd) = 0;
    // Where the device's world keeps a file of the machine that the program looks at beside the
    // device (sysfs, /run/lock): the path to use instead of `path`, or "" for the machine's own.
    // Opens, directory listings and symbolic links follow it.
    virtual std::string fileInWorld(const char* /*path*/) const { return {}; }
    // A directory the program opened, by the path it asked for: a device that lists itself in a
    // directory (a GPIO chip in /dev) watches the listing from here.
    virtual void directoryOpened(const char* /*path*/, DIR* /*dir*/) {}

    // An ioctl on one of the device's files: counted, shown to the observer, and served once the
    // chip's time has caught up with the clock.
    int serveIoctl(int fd, unsigned long request, void* argument);
    std::uint64_t ioctls() const { return ioctls_; }
    // Called at each ioctl on the device, before it is served.
    void setAccessObserver(std::function<void()> observer) { observer_ = std::move(observer); }

    // The chip's time runs on while the program sleeps, and real time too unless told otherwise.
    // Each sleep ends a cycle in the journal.
    unsigned int sleep(unsigned int seconds);

    sim::Simulation& simulation() { return sim_; }
    const sim::Simulation& simulation() const { return sim_; }
    std::vector<std::string> journal() const { return journal_; }

  protected:
    // Journals the bus from now on, "bus <token>" for each event decoded from the wires, and
    // times the line changes: called once the device has set the port up.
    void watchBus();
    // Adds an entry to the journal, and a line to the journal's file.
    void note(const std::string& entry);

  private:
    // The chip's time catches up with the clock.
    void catchUp();
    // "cycle took=<us> waits=<n> readings=<n> ioctls=<n> shortest=<us>" (JournalCycle): since
    // the end of the last sleep, the time on the clock, the program's sleeps and readings of the
    // clock, the ioctls, and the shortest time between two changes that the program made to SCL
    // or SDA.
    void noteCycle();

    sim::Simulation sim_;
    bool realSleep_;
    BusAnalyser analyser_;
    int journalFd_ = -1;
    std::vector<std::string> journal_;
    std::function<void()> observer_;
    std::uint64_t ioctls_ = 0;
    std::int64_t caughtUpTo_;  // the clock's time that the chip's has caught up with
    // Where this cycle began: the clock, and the counts.
    std::int64_t cycleFrom_;
    std::uint64_t cycleSleeps_;
    std::uint64_t cycleReadings_;
    std::uint64_t cycleIoctls_ = 0;
    // The lines as the program last drove them, when it last changed one, and the shortest time
    // between such changes.
    bool scl_ = true;
    bool pullsSda_ = false;
    std::int64_t changedAt_ = -1;
    std::int64_t shortestChange_ = -1;
};

// A cycle as a device's journal sums it up (FakeDevice::noteCycle), and the entry read back.
struct JournalCycle {
    long long took = 0;  // microseconds on the clock, from the end of a sleep to the next
    long long waits = 0;
    long long readings = 0;
    long long ioctls = 0;
    long long shortest = 0;  // microseconds between the two closest line changes; -1: none
};
inline std::optional<JournalCycle> journalCycle(std::string_view entry) {
    JournalCycle cycle;
    const struct {
        std::string_view name;
        long long* value;
    } fields[] = {{" took=", &cycle.took},
                  {" waits=", &cycle.waits},
                  {" readings=", &cycle.readings},
                  {" ioctls=", &cycle.ioctls},
                  {" shortest=", &cycle.shortest}};
    if (!entry.starts_with("cycle")) {
        return std::nullopt;
    }
    entry.remove_prefix(std::string_view("cycle").size());
    for (const auto& field : fields) {
        if (!entry.starts_with(field.name)) {
            return std::nullopt;
        }
        entry.remove_prefix(field.name.size());
        const auto [end, error] =
            std::from_chars(entry.data(), entry.data() + entry.size(), *field.value);
        if (error != std::errc{}) {
            return std::nullopt;
        }
        entry.remove_prefix(static_cast<std::size_t>(end - entry.data()));
    }
    return entry.empty() ? std::optional(cycle) : std::nullopt;
}

// The device the entry points serve: made from the environment on first use (by the fake's
// deviceFromEnvironment), or the one a test put in its place.
FakeDevice& fakeDevice();
void replaceFakeDevice(std::unique_ptr<FakeDevice> device);
// Defined by each fake: its device, with the settings its environment variable gives.
std::unique_ptr<FakeDevice> deviceFromEnvironment();

// A Device of the Fake (FakeParport, FakeGpiochip) with the settings its environment variable
// gives, or the defaults.
template <typename Device, typename Fake>
std::unique_ptr<FakeDevice> deviceWithSettingsFromEnvironment() {
    using Settings = typename Fake::Settings;
    const char* text = std::getenv(Fake::kEnvironmentVariable);
    return std::make_unique<Device>(text != nullptr ? Settings::parse(text) : Settings{});
}

}  // namespace quorvane::testkit
