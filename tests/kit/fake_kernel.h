// What the fakes of the kernel's devices (fake_parport.h, fake_gpiochip.h, fake_i2c.h) share,
// compiled into each fake's library: the entry points in front of libc's (open, ioctl, close,
// sleep, opendir, readlink), which hand the device's own paths and descriptors to the device,
// the files its world keeps elsewhere to their place, and everything else to libc; the one device
// behind them; and the simulated port it serves from, with the journal of what it saw.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <sys/types.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
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

    // The chip's time runs on while the program sleeps, and real time too unless told otherwise.
    unsigned int sleep(unsigned int seconds);

    sim::Simulation& simulation() { return sim_; }
    const sim::Simulation& simulation() const { return sim_; }
    std::vector<std::string> journal() const { return journal_; }

  protected:
    // Journals the bus from now on, "bus <token>" for each event decoded from the wires: called
    // once the device has set the port up.
    void watchBus();
    // Adds an entry to the journal, and a line to the journal's file.
    void note(const std::string& entry);

  private:
    // After a sleep: the device's own time keeping.
    virtual void woke() {}

    sim::Simulation sim_;
    bool realSleep_;
    BusAnalyser analyser_;
    int journalFd_ = -1;
    std::vector<std::string> journal_;
};

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
