#include "thermometer/thermometer.h"

#include <cmath>

#include "bus/bus.h"

namespace {

constexpr int kDeviceAddress = 5;

constexpr std::uint8_t kOneShot = 0x01;
constexpr std::uint8_t kDone = 0x80;

// The status of a cycle whose registers no working chip holds.
constexpr int kImpossibleRegisters = 1;

// The chip's range in whole degrees.
constexpr int kLowestDegrees = -55;
constexpr int kHighestDegrees = 125;
// The bits the chip may set in the second byte of the temperature: the half degree.
constexpr unsigned int kHalfDegree = 0x80;

// Registers a working chip can hold. A chip that lost its supply or its connection for a few
// milliseconds, or a data line stuck for as long, leaves the master reading ones or zeros for
// the rest of a byte with every acknowledge in place: such bytes show as a whole-degree byte out
// of the chip's range, a count remain above the count per degree it counts down from, or a
// second temperature byte that is neither the first again (the chip may start the register over
// where the bus addresses it anew before that byte) nor a low byte with only the half degree in
// it. A count per degree of 0 leaves the count remain unused, so it is not judged against it. A
// chip that lost its supply lost its conversion too, and says so in the configuration read after
// the wait and in the one read after the registers. Some kernel adapters answer for a chip that
// is not there with every register all ones; their word comes in one transfer, so its second
// byte, 0xFF, fails it.
bool possibleRegisters(std::uint8_t cfg, std::uint8_t cfgAfterReads, std::uint16_t temperature,
                       std::uint8_t countRemain, std::uint8_t countPerDegree) {
    const unsigned int high = temperature >> 8U;
    const unsigned int low = temperature & 0xFFU;
    const int wholeDegrees = static_cast<std::int8_t>(high);
    const bool inRange = wholeDegrees >= kLowestDegrees && wholeDegrees <= kHighestDegrees;
    const bool countsPossible = countPerDegree == 0 || countRemain <= countPerDegree;
    const bool lowPossible = (WordReaddressed() != 0 && low == high) || (low & ~kHalfDegree) == 0;
    // A second after the start of its conversion the chip has done it, and still says so after
    // the reads, unless it restarted and holds no conversion at all.
    const bool converted = (cfg & kDone) != 0 && (cfgAfterReads & kDone) != 0;
    return converted && inRange && countsPossible && lowPossible;
}

}  // namespace

int ConvertCelsius(std::uint16_t raw, std::uint16_t* celsius) {
    *celsius = static_cast<std::uint16_t>(raw >> 8U);
    return 0;
}

std::int16_t TenthsFromRegisters(std::uint8_t h, std::uint8_t c, std::uint8_t s) {
    // The whole-degree byte is two's complement, as the chip encodes it: 0xFB is -5.
    const int wholeDegrees = static_cast<std::int8_t>(h);
    double sum = wholeDegrees - 0.25;
    if (s != 0) {
        sum += static_cast<double>(s - c) / s;
    }
    const float t = static_cast<float>(sum);
    const double x = static_cast<double>(t) * 10;
    double integral = 0;
    const double fraction = std::modf(x, &integral);
    if (fraction >= 0.5) {
        integral += 1;
    } else if (fraction <= -0.5) {
        integral -= 1;
    }
    return static_cast<std::int16_t>(integral);
}

int Temperature(int portAddress, std::int16_t* tempTenths) {
    std::uint8_t cfg = 0;
    std::uint16_t temperature = 0;
    std::uint8_t countRemain = 0;
    std::uint8_t countPerDegree = 0;

    int status = BeginMeasurement(portAddress);
    if (status == 0) {
        status = ReadCfg(kDeviceAddress, &cfg);
    }
    if (status == 0 && (cfg & kOneShot) == 0) {
        status = WriteCfg(kDeviceAddress, static_cast<std::uint8_t>(cfg | kOneShot));
        // The chip needs the time to store the bit, whatever the write reported.
        DelayMsec(100);
    }
    if (status == 0) {
        status = StartConversion(kDeviceAddress);
    }
    if (status == 0) {
        DelaySec(1);
        // The configuration after the wait says whether the conversion is done (its DONE bit).
        status = ReadCfg(kDeviceAddress, &cfg);
    }
    if (status == 0) {
        status = ReadTemperature(kDeviceAddress, &temperature);
    }
    if (status == 0) {
        status = ReadCounter(kDeviceAddress, &countRemain);
    }
    // Count remain must come first: reading the slope loads the counter with it.
    if (status == 0) {
        status = ReadSlope(kDeviceAddress, &countPerDegree);
    }
    // A chip that restarted during the reads answered them from its empty power-up registers,
    // which can pass for a reading; only its configuration, read once more after the last of
    // them, tells: no finished conversion. One transaction more in every cycle is the price.
    std::uint8_t cfgAfterReads = 0;
    if (status == 0) {
        status = ReadCfg(kDeviceAddress, &cfgAfterReads);
    }
    status = EndMeasurement(status);
    if (status == 0 &&
        !possibleRegisters(cfg, cfgAfterReads, temperature, countRemain, countPerDegree)) {
        status = kImpossibleRegisters;
    }
    if (status != 0) {
        *tempTenths = 0;
        return status;
    }
    *tempTenths = TenthsFromRegisters(static_cast<std::uint8_t>(temperature >> 8U), countRemain,
                                      countPerDegree);
    return 0;
}
