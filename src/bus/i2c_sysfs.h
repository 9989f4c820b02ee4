// What the kernel shows of its I2C adapters and of the chips on them in sysfs
// (/sys/bus/i2c/devices): an adapter's number by its name (a USB adapter's number changes from
// one plug to the next, its name does not), the adapters there are, and the kernel driver bound
// to a chip with the file where that driver shows its reading. Every function reads sysfs afresh.
#pragma once

#include <cstddef>

// The number of the adapter whose name is exactly `name` (the lowest, where several share it), or
// -1 when there is none.
int adapterNumberNamed(const char* name);

// The name of adapter `number` into out, or "" when sysfs does not show it.
void adapterName(int number, char* out, std::size_t size);

// The adapters sysfs shows, in the order of their numbers, for a hint: `i2c-0 "SMBus PIIX4
// adapter at 0700", i2c-1 "..."`, or "none".
void listAdapters(char* out, std::size_t size);

// The name of the kernel driver bound to the chip at `address` on adapter `number` into driver,
// and the file where that driver shows the chip's reading into reading ("" where it shows none).
// False when no driver is bound there.
bool boundDriver(int number, int address, char* driver, std::size_t driverSize, char* reading,
                 std::size_t readingSize);

// The chip's directory in sysfs as the kernel names it: "1-004d".
void chipName(int number, int address, char* out, std::size_t size);
