// The raw platform: x86 port instructions on the parallel port, granted by ioperm.
#include <linux/capability.h>
#include <sys/io.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "bus/port_io.h"

namespace {

// Whether this process holds CAP_SYS_RAWIO, the right ioperm asks for: root has it, and so has a
// program given it with setcap. glibc has no wrapper for capget.
bool holdsRawIo() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) {
        return geteuid() == 0;
    }
    return (data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0;
}

}  // namespace

int RequestPortAccess(unsigned long from, unsigned long count, int turnOn) {
    return ioperm(from, count, turnOn);
}

const char* AccessHint(int error) {
    if (error == ENOSYS) {
        return "\nThis kernel has no raw port access: use quorvane_ppdev";
    }
    if (error == EPERM && holdsRawIo()) {
        return "\nThe kernel forbids raw port access (lockdown, Secure Boot): use quorvane_ppdev";
    }
    if (error == EPERM) {
        return "\nRun as root, or give the program the right: setcap cap_sys_rawio+ep "
               "quorvane_unix";
    }
    return "";
}

unsigned char Input(unsigned short address) {
    return inb(address);
}

void Output(unsigned short address, unsigned char value) {
    outb(value, address);
}

int AccessFailed() {
    return 0;  // port instructions cannot fail
}

void SleepSeconds(unsigned int seconds) {
    static_cast<void>(sleep(seconds));
}
