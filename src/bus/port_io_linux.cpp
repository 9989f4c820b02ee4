// The real platform: x86 port instructions on the parallel port, granted by ioperm.
#include <sys/io.h>
#include <unistd.h>

#include "bus/port_io.h"

int RequestPortAccess(unsigned long from, unsigned long count, int turnOn) {
    return ioperm(from, count, turnOn);
}

unsigned char Input(unsigned short address) {
    return inb(address);
}

void Output(unsigned short address, unsigned char value) {
    outb(value, address);
}

void SleepSeconds(unsigned int seconds) {
    static_cast<void>(sleep(seconds));
}
