// Two-wire bus on the parallel port: the port registers, the line operations, the two delays and
// the bus framing. Every change of the clock or the data line is a read-modify-write of one port
// register, followed by a busy wait of one millisecond.
#pragma once

#include <cstdint>

#include "bus/bus.h"

// Here every line operation reads `port` afresh; DelayMsec busy-waits by reading the data
// register ms x 1000 times (1000 port reads make a millisecond), and DelaySec suspends the
// process.

void setClk();
void resetClk();
void setData();    // releases the data line, so that it floats high
void resetData();  // pulls the data line low
int getData();     // releases the data line, then samples it: 1 high, 0 low
void applyPower();
void setAddress();
// Makes the port drive its data lines: a bidirectional port left turned around by another
// program (control bit 0x20 set) would neither power nor clock the chip. One read-modify-write
// of the control register, which changes no line of a port already driving them.
void driveDataLines();
// 1 when a register access failed since the last call (the port went away), else 0.
int portFailed();

// Start condition, also every repeated start. 0, or non-zero when the bus could not be freed.
int Start();
// Stop condition. 0, or non-zero when the data line, released, still reads low: a device holds
// it, out of step with the master, and what it sent before cannot be trusted.
int Stop();
// Sends one byte; 0 when the device acknowledged it, non-zero when it did not or when the data
// line, sampled while the clock is high, did not read back a bit as sent (the send stops there).
int Transmit(std::uint8_t b);
std::uint8_t Receive();
void Nak();
void Ack();
