// The platform seam: the program's only contact with the machine it runs on.
//
// Exactly one implementation is linked into each program: the raw one talks to the parallel
// port through the processor's port instructions, the ppdev one through the kernel's parallel-port
// driver, the GPIO one through two lines of the kernel's GPIO device, the simulated one to a model
// of the port with a thermometer behind it. Tests link fakes of their own. Nothing chooses at run
// time. quorvane_i2c reaches no register at all (the kernel's I2C adapter runs its bus): its
// implementation grants it the chip instead, and has no Input, Output or AccessFailed, which
// nothing linked into it calls.
#pragma once

// Asks for the right to use `count` I/O ports from `from` upward (turnOn 1) or gives it back
// (turnOn 0). Returns 0 when granted, -1 with errno set when refused, as ioperm does.
int RequestPortAccess(unsigned long from, unsigned long count, int turnOn);

// What would help after RequestPortAccess was refused with `error`: one line for the user,
// beginning with a newline, or "" when this platform has nothing useful to say.
const char* AccessHint(int error);

// Reads one byte from an I/O port address.
unsigned char Input(unsigned short address);

// Writes one byte to an I/O port address.
void Output(unsigned short address, unsigned char value);

// Suspends the process for whole seconds.
void SleepSeconds(unsigned int seconds);

// 1 when an Input or Output failed since the last call, else 0; each call starts afresh. Only a
// port that can go away while the program runs (the kernel's device) ever fails, and a read that
// failed gives a level that may pass for a bit the chip sent.
int AccessFailed();
