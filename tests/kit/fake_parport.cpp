#include "kit/fake_parport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <type_traits>

#include "kit/bus_events.h"

namespace quorvane::testkit {

namespace {

// The libc functions this library stands in front of.
template <typename Function>
Function* next(const char* name) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's result is a function
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}
using OpenFunction = int(const char*, int, ...);
using IoctlFunction = int(int, unsigned long, ...);
using CloseFunction = int(int);
using FstatFunction = int(int, struct stat*);
using FopenFunction = FILE*(const char*, const char*);
using SleepFunction = unsigned int(unsigned int);

constexpr std::uint16_t kBase = sim::ParallelPort::kDefaultBase;
constexpr std::uint16_t kData = kBase;
constexpr std::uint16_t kStatus = kBase + 1;
constexpr std::uint16_t kControl = kBase + 2;
constexpr std::uint8_t kOutputBits = 0x0F;  // all a control write through ppdev changes
constexpr std::uint8_t kReverse = sim::ParallelPort::kDataReverse;
// What parport_pc's claim writes to the control register of a port that ppdev registered with its
// interrupt: interrupt enable 0x10, Init and Select-In. It replaces whatever was there, bit 0x20
// included; the kernel keeps it as its copy of the register.
constexpr std::uint8_t kControlAtClaim = 0x1C;
// The device's node, character major 99 (ppdev), minor 0; and what names the holder of port 0.
constexpr unsigned kPpdevMajor = 99;
constexpr const char* kActivePath = "/proc/sys/dev/parport/parport0/devices/active";

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

const char* registerRequestName(unsigned long request) {
    static constexpr struct {
        unsigned long request;
        const char* name;
    } kNames[] = {{PPRDATA, "PPRDATA"},
                  {PPWDATA, "PPWDATA"},
                  {PPRSTATUS, "PPRSTATUS"},
                  {PPRCONTROL, "PPRCONTROL"},
                  {PPWCONTROL, "PPWCONTROL"}};
    for (const auto& n : kNames) {
        if (n.request == request) {
            return n.name;
        }
    }
    return nullptr;
}

// The device as ppdev and parport_pc present it, one open file at a time, and the world's time
// behind it.
class FakeKernel {
  public:
    explicit FakeKernel(const FakeParport::Settings& settings)
        : settings_(settings), sim_(sim::roomDrift()) {
        if (settings_.celsius) {
            sim_.setTemperature(*settings_.celsius);
        }
        sim_.setRealSleep(false);
        // Today's ports are bidirectional, and ppdev reads back its copy of the four outputs.
        sim_.setPortModes({.bidirectional = true});
        sim_.requestPortAccess(kBase, 3, 1);
        if (settings_.leftReverse) {
            sim_.output(kControl, static_cast<std::uint8_t>(sim_.controlLatch() | kReverse));
        }
        const sim::LineState& now = sim_.lineState();
        decoder_.reset(now.scl, now.sda);
        sim_.setLineObserver([this](const sim::LineState& s) {
            decoder_.lines(s.scl, s.sda, s.time);
            for (const BusEvent& e : decoder_.events()) {
                note("bus " + e.token);
            }
            decoder_.clearEvents();
        });
        if (!settings_.journal.empty()) {
            journalFd_ = next<OpenFunction>("open")(
                settings_.journal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
    }
    ~FakeKernel() {
        sim_.setLineObserver(nullptr);
        if (journalFd_ >= 0) {
            next<CloseFunction>("close")(journalFd_);
        }
    }
    FakeKernel(const FakeKernel&) = delete;
    FakeKernel& operator=(const FakeKernel&) = delete;

    bool serves(const char* path) const { return path != nullptr && settings_.device == path; }
    static bool namesHolder(const char* path) {
        return path != nullptr && std::string(path) == kActivePath;
    }
    bool owns(int fd) const { return fd >= 0 && fd == fd_; }
    sim::Simulation& simulation() { return sim_; }
    std::vector<std::string> journal() const { return journal_; }

    int open(int flags) {
        note("open");
        if (settings_.openErrno != 0) {
            errno = settings_.openErrno;
            return -1;
        }
        if (fd_ >= 0) {
            errno = EBUSY;  // one open file is all the tests need
            return -1;
        }
        // A real descriptor stands for the device, so that no other file gets its number.
        fd_ = next<OpenFunction>("open")("/dev/null", O_RDWR | (flags & O_CLOEXEC));
        claimed_ = false;
        return fd_;
    }

    // The /proc file, read from a memory file that holds what the kernel would say.
    int openActive(int flags) {
        std::string said = settings_.active;
        if (said.empty()) {
            said = settings_.heldMillis != 0 ? "ppdev0" : "none";
        }
        note("active " + said);
        if (said == "-") {
            errno = ENOENT;
            return -1;
        }
        const int fd = memfd_create("active", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U);
        if (fd < 0) {
            return -1;
        }
        const std::string text = said + "\n";
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            lseek(fd, 0, SEEK_SET) != 0) {
            next<CloseFunction>("close")(fd);
            return -1;
        }
        return fd;
    }

    // fstat of the device: ppdev's character node.
    static void describeNode(struct stat* node) {
        *node = {};
        node->st_mode = S_IFCHR | 0660;
        node->st_rdev = makedev(kPpdevMajor, 0);
    }

    int close(int fd) {
        note("close");
        fd_ = -1;  // closing releases the port
        claimed_ = false;
        return next<CloseFunction>("close")(fd);
    }

    // The chip's time runs on while the program sleeps.
    unsigned int sleep(unsigned int seconds) {
        sim_.sleepSeconds(seconds);
        return settings_.realSleep ? next<SleepFunction>("sleep")(seconds) : 0;
    }

    int ioctl(unsigned long request, void* argument) {
        switch (request) {
            case PPCLAIM:
                return claim();
            case PPEXCL:
                note("PPEXCL");
                return 0;
            case PPSETMODE:
                note("PPSETMODE " + std::to_string(*static_cast<int*>(argument)));
                return 0;
            default:
                break;
        }
        if (!claimed_) {
            // The kernel refuses everything else until the port is claimed.
            return refuse(request, EINVAL);
        }
        if (request == PPRELEASE) {
            note("PPRELEASE");
            claimed_ = false;
            return 0;
        }
        if (request == PPDATADIR) {
            const int reverse = *static_cast<int*>(argument);
            note(std::string("PPDATADIR ") + (reverse != 0 ? "1" : "0"));
            writeControlCopy(static_cast<std::uint8_t>(reverse != 0 ? control_ | kReverse
                                                                    : control_ & ~kReverse));
            return 0;
        }
        const char* name = registerRequestName(request);
        if (name == nullptr) {
            note("unknown request " + hex(static_cast<unsigned>(request), 8));
            return refuse(request, EINVAL);
        }
        if (failsNow(request)) {
            if (!failing_) {
                note(std::string("port gone at ") + name);
            }
            failing_ = true;
            errno = settings_.failErrno != 0 ? settings_.failErrno : EIO;
            return -1;
        }
        failing_ = false;
        auto* value = static_cast<unsigned char*>(argument);
        switch (request) {
            case PPRDATA:
                *value = sim_.input(kData);
                break;
            case PPRSTATUS:
                *value = sim_.input(kStatus);
                break;
            case PPRCONTROL:
                // The kernel's copy, not the port: no access reaches the register.
                *value = static_cast<std::uint8_t>(control_ & kOutputBits);
                break;
            case PPWDATA:
                sim_.output(kData, *value);
                break;
            default:
                writeControl(*value);
                break;
        }
        if (registerRequests_ <=
            static_cast<std::uint64_t>(FakeParport::kJournalledRegisterRequests)) {
            note(std::string(name) + " " + hex(*value, 2));
        }
        return 0;
    }

    int ioperm() {
        note("ioperm");
        errno = settings_.iopermErrno != 0 ? settings_.iopermErrno : EPERM;
        return -1;
    }

  private:
    int claim() {
        note("PPCLAIM");
        if (claimed_) {
            return refuse(PPCLAIM, EINVAL);
        }
        if (settings_.heldMillis != 0 && !waitForHolder()) {
            return refuse(PPCLAIM, EINTR);
        }
        if (settings_.claimErrno != 0) {
            return refuse(PPCLAIM, settings_.claimErrno);
        }
        claimed_ = true;
        note("control " + hex(kControlAtClaim, 2));
        writeControlCopy(kControlAtClaim);
        return 0;
    }

    // Waits as the kernel's claim does, until the holder lets go (true) or a signal arrives.
    bool waitForHolder() const {
        if (settings_.heldMillis < 0) {
            pause();
            return false;
        }
        timespec left{settings_.heldMillis / 1000, (settings_.heldMillis % 1000) * 1000000L};
        return nanosleep(&left, &left) == 0;
    }

    // PPWCONTROL: parport_pc changes only the four output bits of its copy, so the interrupt
    // enable and the direction stay as they are; bit 0x20 turns the data lines around first.
    void writeControl(std::uint8_t value) {
        std::uint8_t copy = control_;
        if ((value & kReverse) != 0) {
            note("turned around by PPWCONTROL " + hex(value, 2));
            copy = static_cast<std::uint8_t>(copy | kReverse);
        }
        writeControlCopy(static_cast<std::uint8_t>((copy & ~kOutputBits) | (value & kOutputBits)));
    }

    // Every control write of the kernel: the whole copy goes to the port.
    void writeControlCopy(std::uint8_t value) {
        control_ = value;
        sim_.output(kControl, value);
    }

    bool failsNow(unsigned long request) {
        ++registerRequests_;
        if (settings_.failRequest != 0 && request != settings_.failRequest) {
            return false;
        }
        const std::uint64_t n = ++counted_;
        return settings_.failCount != 0 && n >= settings_.failFrom &&
               n - settings_.failFrom < settings_.failCount;
    }

    int refuse(unsigned long request, int error) {
        const char* name = registerRequestName(request);
        note(std::string("refused ") +
             (name != nullptr ? name : hex(static_cast<unsigned>(request), 8)) + " " +
             std::to_string(error));
        errno = error;
        return -1;
    }

    void note(const std::string& entry) {
        journal_.push_back(entry);
        if (journalFd_ >= 0) {
            // One write a line: the journal is whole up to the moment the program was killed.
            const std::string line = entry + "\n";
            static_cast<void>(!write(journalFd_, line.data(), line.size()));
        }
    }

    FakeParport::Settings settings_;
    sim::Simulation sim_;
    BusEventDecoder decoder_;
    int fd_ = -1;
    bool claimed_ = false;
    std::uint8_t control_ = kControlAtClaim;  // the kernel's copy of the control register
    std::uint64_t registerRequests_ = 0;      // every register request
    std::uint64_t counted_ = 0;               // those that the failure settings count
    bool failing_ = false;
    int journalFd_ = -1;
    std::vector<std::string> journal_;
};

std::unique_ptr<FakeKernel>& kernelSlot() {
    static std::unique_ptr<FakeKernel> slot;
    return slot;
}

FakeKernel& kernel() {
    std::unique_ptr<FakeKernel>& k = kernelSlot();
    if (!k) {
        const char* text = std::getenv(FakeParport::kEnvironmentVariable);
        k = std::make_unique<FakeKernel>(text != nullptr ? FakeParport::Settings::parse(text)
                                                         : FakeParport::Settings{});
    }
    return *k;
}

int openFile(const char* path, int flags, va_list modeArgument) {
    if (kernel().serves(path)) {
        return kernel().open(flags);
    }
    if (FakeKernel::namesHolder(path)) {
        return kernel().openActive(flags);
    }
    const bool takesMode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    const mode_t mode = takesMode ? va_arg(modeArgument, mode_t) : 0;
    return next<OpenFunction>("open")(path, flags, mode);
}

// A setting's value as Settings::text() writes it.
void readSetting(const std::string& text, std::string& value) {
    value = text;
}
void readSetting(const std::string& text, bool& value) {
    value = std::strtoll(text.c_str(), nullptr, 0) != 0;
}
void readSetting(const std::string& text, std::optional<double>& value) {
    value = std::strtod(text.c_str(), nullptr);
}
template <typename Integer>
void readSetting(const std::string& text, Integer& value) {
    if constexpr (std::is_signed_v<Integer>) {
        value = static_cast<Integer>(std::strtoll(text.c_str(), nullptr, 0));
    } else {
        value = static_cast<Integer>(std::strtoull(text.c_str(), nullptr, 0));
    }
}

}  // namespace

FakeParport::Settings FakeParport::Settings::parse(const std::string& text) {
    Settings s;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        const std::size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        bool known = false;
        each([&](const char* settingName, auto member) {
            if (name == settingName) {
                readSetting(value, s.*member);
                known = true;
            }
        });
        if (!known) {
            std::fprintf(stderr, "fake parport: unknown setting %s\n", word.c_str());
            std::abort();
        }
    }
    return s;
}

void FakeParport::restart(const Settings& settings) {
    std::unique_ptr<FakeKernel>& k = kernelSlot();
    k.reset();
    k = std::make_unique<FakeKernel>(settings);
}

sim::Simulation& FakeParport::simulation() {
    return kernel().simulation();
}

std::vector<std::string> FakeParport::journal() {
    return kernel().journal();
}

}  // namespace quorvane::testkit

// The entry points, in front of libc's.
using namespace quorvane::testkit;

extern "C" {

int open(const char* file, int oflag, ...) {
    va_list mode;
    va_start(mode, oflag);
    const int fd = openFile(file, oflag, mode);
    va_end(mode);
    return fd;
}

int open64(const char* file, int oflag, ...) {
    va_list mode;
    va_start(mode, oflag);
    const int fd = openFile(file, oflag, mode);
    va_end(mode);
    return fd;
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list rest;
    va_start(rest, request);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    if (kernel().owns(fd)) {
        return kernel().ioctl(request, argument);
    }
    return next<IoctlFunction>("ioctl")(fd, request, argument);
}

FILE* fopen(const char* filename, const char* modes) {
    if (FakeKernel::namesHolder(filename)) {
        const int fd = kernel().openActive(O_RDONLY);
        return fd < 0 ? nullptr : fdopen(fd, "r");
    }
    return next<FopenFunction>("fopen")(filename, modes);
}

FILE* fopen64(const char* filename, const char* modes) {
    return fopen(filename, modes);
}

int fstat(int fd, struct stat* buf) noexcept {
    if (kernel().owns(fd)) {
        FakeKernel::describeNode(buf);
        return 0;
    }
    return next<FstatFunction>("fstat")(fd, buf);
}

int fstat64(int fd, struct stat64* buf) noexcept {
    // On this platform the two structures are one.
    static_assert(sizeof(struct stat64) == sizeof(struct stat));
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the same layout
    return fstat(fd, reinterpret_cast<struct stat*>(buf));
}

int close(int fd) {
    if (kernel().owns(fd)) {
        return kernel().close(fd);
    }
    return next<CloseFunction>("close")(fd);
}

unsigned int sleep(unsigned int seconds) {
    return kernel().sleep(seconds);
}

int ioperm(unsigned long /*from*/, unsigned long /*count*/, int /*turnOn*/) noexcept {
    return kernel().ioperm();
}

}  // extern "C"
