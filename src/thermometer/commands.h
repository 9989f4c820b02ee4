// The chip's command bytes, for the transactions on either bus.
#pragma once

#include <cstdint>

namespace command {

constexpr std::uint8_t kReadTemperature = 0xAA;
constexpr std::uint8_t kReadCounter = 0xA8;
constexpr std::uint8_t kReadSlope = 0xA9;
constexpr std::uint8_t kStartConversion = 0xEE;
constexpr std::uint8_t kAccessConfig = 0xAC;

}  // namespace command
