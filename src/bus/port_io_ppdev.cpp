// The platform through the kernel's parallel-port driver: the ppdev device (/dev/parport0 unless
// the build chose another), which reaches every port the kernel found, PCI and PCIe cards
// included, works where raw port access is forbidden, and needs no root: the group lp may use it.
// The port is claimed once and kept. A register access that the bus can see is one ioctl on it;
// the busy wait's reads of the data register are answered from a copy and paced by sleeping
// (bus/port_pacing.h), and a write that would change nothing is not made.
//
// The kernel's claim restores the port's control register to its own copy, 0x1C: interrupt
// enable, Init, and Select-In, which pulls the data line low while the clock may still be high.
// The chip sees a start condition there and a stop condition at the first setData; it answers
// neither, so the first cycle runs as any other.
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus/port_grant.h"
#include "bus/port_io.h"
#include "bus/port_pacing.h"

#ifndef QUORVANE_PPDEV_DEVICE
#define QUORVANE_PPDEV_DEVICE "/dev/parport0"
#endif

namespace {

// Each request code carries the size of its argument; these are the types passed with them.
static_assert(_IOC_SIZE(PPRDATA) == sizeof(unsigned char));
static_assert(_IOC_SIZE(PPWDATA) == sizeof(unsigned char));
static_assert(_IOC_SIZE(PPRSTATUS) == sizeof(unsigned char));
static_assert(_IOC_SIZE(PPRCONTROL) == sizeof(unsigned char));
static_assert(_IOC_SIZE(PPWCONTROL) == sizeof(unsigned char));
static_assert(_IOC_SIZE(PPSETMODE) == sizeof(int));
static_assert(_IOC_SIZE(PPDATADIR) == sizeof(int));

// Control bit 5: written through ppdev it turns the data lines into inputs (no supply, no clock).
constexpr unsigned char kDataReverse = 0x20;
// The control outputs that ppdev reads and writes; its reads give the other bits as 0.
constexpr unsigned char kControlOutputs = 0x0F;
// What a read gives when the ioctl fails, as a port with nothing behind it reads: every bit set.
constexpr unsigned char kUndriven = 0xFF;

// The kernel's claim waits for as long as another program holds the port, and while it waits,
// ppdev serves no request of any program on any port: the holder stands still. A port that the
// kernel names as held is therefore refused without claiming; the claim waits only for a holder
// that came in the instant after that look, and only this long.
constexpr long kClaimWaitMicros = 200000;
// After the first, the timer signals again this often, in case its first signal came before the
// claim began to wait.
constexpr long kClaimResignalMicros = 100000;

// The claimed port, or -1.
int device = -1;

// The registers as they stand, or -1 where that is not known (before the first access, after a
// write that failed). The port drives its data lines from the set-up on (forward) and no write
// of ours turns them around, so its data register reads back what was written; ppdev answers a
// control read from the kernel's copy of the four outputs, which changes only by our writes.
// Reads of either are answered from here, without a system call.
int dataCopy = -1;
int controlCopy = -1;

// What the last refused request was doing, so that the hint can say what would help.
enum class Step { kOpen, kClaim, kSetUp };
Step refusedIn = Step::kOpen;

void interruptClaim(int /*signal*/) {
    // Nothing to do: the signal's delivery ends the claim's wait.
}

// PPCLAIM with a bounded wait: a signal ends a wait for a held port, and that counts as EBUSY.
int claimWithinWait() {
    struct sigaction wake {};
    wake.sa_handler = interruptClaim;
    sigemptyset(&wake.sa_mask);
    wake.sa_flags = 0;  // not SA_RESTART: the signal must end the wait, not resume it
    struct sigaction previousAction {};
    sigaction(SIGALRM, &wake, &previousAction);
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    sigset_t previousMask;
    sigprocmask(SIG_UNBLOCK, &alarmOnly, &previousMask);
    itimerval timer{};
    timer.it_value.tv_usec = kClaimWaitMicros;
    timer.it_interval.tv_usec = kClaimResignalMicros;
    setitimer(ITIMER_REAL, &timer, nullptr);

    const int claimed = ioctl(device, PPCLAIM);
    const int error = errno;

    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGALRM, &previousAction, nullptr);
    if (claimed != 0) {
        errno = error == EINTR ? EBUSY : error;
        return -1;
    }
    return 0;
}

// Whether the kernel names a device that has the port now. Where it cannot be asked (no /proc),
// the bounded claim decides alone.
bool heldByAnother() {
    struct stat node {};
    if (fstat(device, &node) != 0 || !S_ISCHR(node.st_mode)) {
        return false;
    }
    // The kernel names there the device that has port N (the node's minor number), or "none".
    char path[64];
    std::snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%u/devices/active",
                  minor(node.st_rdev));
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    char name[32] = {};
    const ssize_t length = read(file, name, sizeof name - 1);
    close(file);
    if (length <= 0) {
        return false;
    }
    return std::strcmp(name, "none\n") != 0 && std::strcmp(name, "none") != 0;
}

// Closes the device after a failed step, keeping that step's errno.
int refuse(Step step) {
    const int error = errno;
    close(device);
    device = -1;
    refusedIn = step;
    errno = error;
    return -1;
}

}  // namespace

// The device behind the grant (bus/port_grant.h): the ppdev device, claimed and set up once.
bool deviceOpen() {
    return device >= 0;
}

int openDevice() {
    device = open(QUORVANE_PPDEV_DEVICE, O_RDWR | O_CLOEXEC);
    if (device < 0) {
        refusedIn = Step::kOpen;
        return -1;
    }
    if (heldByAnother()) {
        errno = EBUSY;
        return refuse(Step::kClaim);
    }
    if (claimWithinWait() != 0) {
        return refuse(Step::kClaim);
    }
    // Compatibility mode keeps the standard registers answering; forward data lines power and
    // clock the chip even where another program left the port turned around.
    int mode = IEEE1284_MODE_COMPAT;
    int forward = 0;
    if (ioctl(device, PPSETMODE, &mode) != 0 || ioctl(device, PPDATADIR, &forward) != 0) {
        return refuse(Step::kSetUp);
    }
    dataCopy = -1;
    controlCopy = -1;
    startPacing();
    return 0;
}

void closeDevice() {
    if (device >= 0) {
        static_cast<void>(ioctl(device, PPRELEASE));
        close(device);
    }
    device = -1;
}

namespace {

// The register offset of a granted address. Any other address is a fault in the program (the raw
// port would crash on it), so it ends the program with a message.
unsigned long offsetOf(unsigned short address) {
    if (device < 0) {
        std::fprintf(stderr,
                     "quorvane_ppdev: port address 0x%04X used before the port was claimed\n",
                     static_cast<unsigned>(address));
        std::abort();
    }
    if (address < grantedBase || address - grantedBase >= grantedCount) {
        std::fprintf(stderr,
                     "quorvane_ppdev: port address 0x%04X is outside the granted registers "
                     "0x%04lX to 0x%04lX\n",
                     static_cast<unsigned>(address), grantedBase, grantedBase + grantedCount - 1);
        std::abort();
    }
    return address - grantedBase;
}

}  // namespace

const char* AccessHint(int error) {
    if (refusedIn == Step::kOpen) {
        if (error == EACCES || error == EPERM) {
            return "\nNo right to " QUORVANE_PPDEV_DEVICE
                   ": add the user to the group lp (usermod -aG lp USER), log in again";
        }
        if (error == ENOENT) {
            return "\nNo " QUORVANE_PPDEV_DEVICE
                   ": load the modules (modprobe -a ppdev parport_pc), or there is no port";
        }
        if (error == ENXIO || error == ENODEV) {
            return "\nNo driver behind " QUORVANE_PPDEV_DEVICE ": load it (modprobe ppdev)";
        }
    }
    if (refusedIn == Step::kClaim) {
        if (error == EBUSY) {
            return "\nAnother program holds " QUORVANE_PPDEV_DEVICE ": stop it, then start again";
        }
        if (error == ENXIO) {
            return "\nAnother driver holds " QUORVANE_PPDEV_DEVICE
                   " for itself, or the port is gone: see dmesg";
        }
    }
    return "";
}

unsigned char Input(unsigned short address) {
    const unsigned long offset = offsetOf(address);
    if (offset == 0 && dataCopy >= 0) {
        oweTime(kNanosPerRead);
        return static_cast<unsigned char>(dataCopy);
    }
    if (offset == 2 && controlCopy >= 0) {
        return static_cast<unsigned char>(controlCopy);
    }
    // Of the registers, only the status register shows the bus: its read waits until it is due.
    const bool seen = offset == 1;
    if (seen) {
        awaitDue();
    }
    unsigned char value = 0;
    const unsigned long request = offset == 0 ? PPRDATA : offset == 1 ? PPRSTATUS : PPRCONTROL;
    const int result = ioctl(device, request, &value);
    if (seen) {
        accessSeen();
    }
    if (result != 0) {
        // The port went away (EIO, ENODEV). The cycle is failed as a whole (AccessFailed): a
        // level read here could pass for a bit the chip sent.
        markAccessFailed();
        return kUndriven;
    }
    if (offset != 1) {
        (offset == 0 ? dataCopy : controlCopy) = value;
    }
    return value;
}

void Output(unsigned short address, unsigned char value) {
    const unsigned long offset = offsetOf(address);
    if (offset == 1) {
        return;  // the status register is read only, as on the port itself
    }
    // A control value read while the port failed (0xFF) must not turn the data lines around
    // when the write succeeds: the bit is never written.
    unsigned char written = offset == 0 ? value : static_cast<unsigned char>(value & ~kDataReverse);
    int& copy = offset == 0 ? dataCopy : controlCopy;
    const int stands = offset == 0 ? written : written & kControlOutputs;
    if (copy == stands) {
        return;  // no line would change
    }
    awaitDue();
    const int result = ioctl(device, offset == 0 ? PPWDATA : PPWCONTROL, &written);
    accessSeen();
    // A failed write changes nothing that can be known, and fails the cycle.
    if (result != 0) {
        copy = -1;
        markAccessFailed();
        return;
    }
    copy = stands;
}
