// The DS1621-type thermometer: the measurement cycle that turns one conversion into tenths of a
// degree Celsius, the same for every program, over the chip's transactions (transactions.h), which
// each program links for its way of reaching the chip.
#pragma once

#include <cstdint>

#include "thermometer/transactions.h"

int ConvertCelsius(std::uint16_t raw, std::uint16_t* celsius);

// The whole-degree byte h (two's complement), count remain c and count per degree s combine into
// tenths of a degree, halves rounded away from zero.
std::int16_t TenthsFromRegisters(std::uint8_t h, std::uint8_t c, std::uint8_t s);

// One measurement on the port at portAddress: fills *tempTenths, or stores 0 and returns the
// failing status. Registers no working chip holds (see thermometer.cpp) fail the measurement.
int Temperature(int portAddress, std::int16_t* tempTenths);
