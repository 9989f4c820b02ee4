// The kernel's I2C adapter as quorvane_i2c holds it. port_io_i2c.cpp finds and opens it when the
// program asks for its port, and binds its file to the chip's address; the SMBus calls (smbus.h)
// go through that file; the measurement cycle closes it after repeated failures and has it found
// again (transactions_smbus.cpp).
#pragma once

// The adapter's file, bound to the chip's address; -1 while it is closed.
extern int adapterFile;

// Closes the adapter's file and keeps the chip's lock: the kernel cannot finish removing a USB
// adapter that was unplugged while a program holds its file.
void closeAdapter();

// Finds the adapter that the settings name again (by its name, where they name it, since a USB
// adapter plugged in again comes back under a new number) and opens it as at the start: 0, or -1
// with errno set.
int reopenAdapter();
