// What the layers above take from the bus below them, whichever a program links: the two-wire bus
// that it drives itself on the port (twowire.h), or the kernel's I2C adapter (smbus.h). Each
// defines these.
#pragma once

#include <cstdint>

// Base I/O address of the parallel port: main sets it, and each measurement is given it. The
// kernel's adapter has no port and no use for it.
extern std::uint16_t port;

// The measurement's two waits: milliseconds (after a configuration write) and whole seconds (for
// a conversion, and between failed cycles).
void DelayMsec(int ms);
void DelaySec(unsigned int s);
