// The bus of quorvane_i2c: the kernel's adapter runs it, and each of the chip's transactions is one
// SMBus call (I2C_SMBUS) on the adapter's file (i2c_adapter.h), at the address that file is bound
// to; the kernel holds the bus for the whole call. Each returns 0, or the errno of the failed call
// (ENXIO, EREMOTEIO, ETIMEDOUT, EIO, ENODEV: no answer this time), ENODEV while the adapter is
// closed. The waits of bus/bus.h are sleeps here.
#pragma once

#include <cstdint>

#include "bus/bus.h"

int smbusReadByteData(std::uint8_t command, std::uint8_t* value);
int smbusWriteByteData(std::uint8_t command, std::uint8_t value);
// Send byte: the command alone.
int smbusWriteByte(std::uint8_t command);
// The word as SMBus orders it: the first byte on the bus in the low half.
int smbusReadWordData(std::uint8_t command, std::uint16_t* value);
