#include "bus/port_grant.h"

#include <unistd.h>

#include <cerrno>

#include "bus/port_io.h"

unsigned long grantedBase = 0;
unsigned long grantedCount = 0;

namespace {

constexpr unsigned long kRegisters = 3;  // data, status, control

// Whether a register access failed since AccessFailed was last asked.
bool accessFailed = false;

}  // namespace

void markAccessFailed() {
    accessFailed = true;
}

// The device is opened once, at the first grant, and kept; a later grant only moves the window.
int RequestPortAccess(unsigned long from, unsigned long count, int turnOn) {
    if (turnOn == 0) {
        closeDevice();
        grantedCount = 0;
        return 0;
    }
    if (count == 0 || count > kRegisters) {
        errno = EINVAL;
        return -1;
    }
    if (!deviceOpen() && openDevice() != 0) {
        return -1;
    }
    grantedBase = from;
    grantedCount = count;
    return 0;
}

int AccessFailed() {
    const bool failed = accessFailed;
    accessFailed = false;
    return failed ? 1 : 0;
}

void SleepSeconds(unsigned int seconds) {
    static_cast<void>(sleep(seconds));
}
