// The DS1621-type thermometer on the two-wire bus: one function per device command the program
// uses, and the measurement cycle that turns one conversion into tenths of a degree Celsius.
//
// Every transaction returns 0 on success; a failure status from the bus is passed up at once,
// and a data line the device still holds after the stop condition fails the transaction too.
#pragma once

#include <cstdint>

int ReadCfg(int address, std::uint8_t* cfg);
int WriteCfg(int address, std::uint8_t cfg);
int StartConversion(int address);
int ReadTemperature(int address, std::uint16_t* value);
int ReadCounter(int address, std::uint8_t* count);
int ReadSlope(int address, std::uint8_t* slope);
int WritePort(int address, std::uint8_t byte);
int ConvertCelsius(std::uint16_t raw, std::uint16_t* celsius);

// The whole-degree byte h (two's complement), count remain c and count per degree s combine into
// tenths of a degree, halves rounded away from zero.
std::int16_t TenthsFromRegisters(std::uint8_t h, std::uint8_t c, std::uint8_t s);

// One measurement on the port at portAddress: fills *tempTenths, or stores 0 and returns the
// failing status. Registers no working chip holds (see thermometer.cpp) fail the measurement.
int Temperature(int portAddress, std::int16_t* tempTenths);
