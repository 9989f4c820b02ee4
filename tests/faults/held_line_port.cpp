#include "faults/held_line_port.h"

#include "bus/port_io.h"

namespace quorvane::test {

HeldLinePort& heldLinePort() {
    static HeldLinePort instance;
    return instance;
}

void resetHeldLinePort(int releaseAfterFalls) {
    heldLinePort() = HeldLinePort{};
    heldLinePort().releaseAfterFalls = releaseAfterFalls;
}

}  // namespace quorvane::test

using quorvane::test::heldLinePort;
using quorvane::test::HeldLinePort;

int RequestPortAccess(unsigned long /*from*/, unsigned long /*count*/, int /*turnOn*/) {
    return 0;
}

unsigned char Input(unsigned short address) {
    HeldLinePort& p = heldLinePort();
    switch (address - HeldLinePort::kBase) {
        case 0:
            return p.data;
        case 1: {
            ++p.statusReads;
            p.clockAtStatusRead.push_back(p.clockHigh());
            const bool low = p.masterPullsLow() || p.deviceHoldsLow();
            return low ? 0x10 : 0x00;
        }
        case 2:
            return p.control;
        default:
            return 0xFF;
    }
}

void Output(unsigned short address, unsigned char value) {
    HeldLinePort& p = heldLinePort();
    p.writes.push_back({address, value});
    if (address == HeldLinePort::kBase) {
        if (p.clockHigh() && (value & 0x80) == 0) {
            ++p.falls;
        }
        p.data = value;
    } else if (address == HeldLinePort::kBase + 2) {
        p.control = value;
    }
}

void SleepSeconds(unsigned int /*seconds*/) {}

int AccessFailed() {
    return 0;
}
