#include "kit/fake_parport.h"

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
#include <cstdio>
#include <memory>

#include "kit/fake_kernel.h"

namespace quorvane::testkit {

namespace {

// The libc functions this library stands in front of beyond the fake kernel's.
using FstatFunction = int(int, struct stat*);
using FopenFunction = FILE*(const char*, const char*);

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
class FakeKernel : public FakeDevice {
  public:
    explicit FakeKernel(const FakeParport::Settings& settings)
        : FakeDevice(settings.celsius, settings.realSleep, settings.journal), settings_(settings) {
        sim::Simulation& world = simulation();
        // Today's ports are bidirectional, and ppdev reads back its copy of the four outputs.
        world.setPortModes({.bidirectional = true});
        world.requestPortAccess(kBase, 3, 1);
        if (settings_.leftReverse) {
            world.output(kControl, static_cast<std::uint8_t>(world.controlLatch() | kReverse));
        }
        watchBus();
    }

    bool serves(const char* path) const override {
        return path != nullptr && (settings_.device == path || namesHolder(path));
    }
    static bool namesHolder(const char* path) {
        return path != nullptr && std::string(path) == kActivePath;
    }
    bool owns(int fd) const override { return fd >= 0 && fd == fd_; }

    int open(const char* path, int flags) override {
        return namesHolder(path) ? openActive(flags) : openDevice(flags);
    }

    int openDevice(int flags) {
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
        fd_ = libcFunction<OpenFunction>("open")("/dev/null", O_RDWR | (flags & O_CLOEXEC));
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
            libcFunction<CloseFunction>("close")(fd);
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

    int close(int fd) override {
        note("close");
        fd_ = -1;  // closing releases the port
        claimed_ = false;
        return libcFunction<CloseFunction>("close")(fd);
    }

    int ioctl(int /*fd*/, unsigned long request, void* argument) override {
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
                *value = simulation().input(kData);
                break;
            case PPRSTATUS:
                *value = simulation().input(kStatus);
                break;
            case PPRCONTROL:
                // The kernel's copy, not the port: no access reaches the register.
                *value = static_cast<std::uint8_t>(control_ & kOutputBits);
                break;
            case PPWDATA:
                simulation().output(kData, *value);
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
        simulation().output(kControl, value);
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

    FakeParport::Settings settings_;
    int fd_ = -1;
    bool claimed_ = false;
    std::uint8_t control_ = kControlAtClaim;  // the kernel's copy of the control register
    std::uint64_t registerRequests_ = 0;      // every register request
    std::uint64_t counted_ = 0;               // those that the failure settings count
    bool failing_ = false;
};

FakeKernel& kernel() {
    return static_cast<FakeKernel&>(fakeDevice());
}

}  // namespace

std::unique_ptr<FakeDevice> deviceFromEnvironment() {
    return deviceWithSettingsFromEnvironment<FakeKernel, FakeParport>();
}

void FakeParport::restart(const Settings& settings) {
    replaceFakeDevice(std::make_unique<FakeKernel>(settings));
}

sim::Simulation& FakeParport::simulation() {
    return kernel().simulation();
}

std::vector<std::string> FakeParport::journal() {
    return kernel().journal();
}

}  // namespace quorvane::testkit

// The entry points of ppdev alone, in front of libc's (the others are the fake kernel's).
using namespace quorvane::testkit;

extern "C" {

FILE* fopen(const char* filename, const char* modes) {
    if (FakeKernel::namesHolder(filename)) {
        const int fd = kernel().openActive(O_RDONLY);
        return fd < 0 ? nullptr : fdopen(fd, "r");
    }
    return libcFunction<FopenFunction>("fopen")(filename, modes);
}

FILE* fopen64(const char* filename, const char* modes) {
    return fopen(filename, modes);
}

int fstat(int fd, struct stat* buf) noexcept {
    if (kernel().owns(fd)) {
        FakeKernel::describeNode(buf);
        return 0;
    }
    return libcFunction<FstatFunction>("fstat")(fd, buf);
}

int fstat64(int fd, struct stat64* buf) noexcept {
    // On this platform the two structures are one.
    static_assert(sizeof(struct stat64) == sizeof(struct stat));
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the same layout
    return fstat(fd, reinterpret_cast<struct stat*>(buf));
}

int ioperm(unsigned long /*from*/, unsigned long /*count*/, int /*turnOn*/) noexcept {
    return kernel().ioperm();
}

}  // extern "C"
