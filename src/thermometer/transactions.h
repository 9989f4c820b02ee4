// The chip's transactions, one function per device command the program uses: the link seam
// between the measurement cycle (thermometer.h), which every program shares, and the way a
// program reaches the chip. Exactly one implementation is linked into each program: on the
// two-wire bus that the program drives itself through the port (transactions_twowire.cpp), or as
// one SMBus call each through the kernel's I2C adapter (transactions_smbus.cpp). Nothing chooses
// at run time.
//
// Every transaction returns 0 on success and a non-zero status when it failed; a read that
// failed leaves its out value as the implementation says.
#pragma once

#include <cstdint>

int ReadCfg(int address, std::uint8_t* cfg);
int WriteCfg(int address, std::uint8_t cfg);
int StartConversion(int address);
int ReadTemperature(int address, std::uint16_t* value);
int ReadCounter(int address, std::uint8_t* count);
int ReadSlope(int address, std::uint8_t* slope);
int WritePort(int address, std::uint8_t byte);

// Once, after the program was granted the port (or the adapter) and before anything else uses it.
void ReadyBus();

// Before the transactions of a measurement on the port at portAddress: 0, or non-zero when the
// chip cannot be reached in this cycle at all.
int BeginMeasurement(int portAddress);

// After the measurement's transactions, which ended with `status`: the cycle's status, which is
// a failure too when the bus itself failed meanwhile, so that what was read cannot be trusted.
int EndMeasurement(int status);

// 1 when ReadTemperature addresses the chip anew between the two bytes, after which the chip may
// send the first byte again; 0 when the word comes in one transfer.
int WordReaddressed();
