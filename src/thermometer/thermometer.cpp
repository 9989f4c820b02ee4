#include "thermometer/thermometer.h"

#include <cmath>

#include "bus/twowire.h"

namespace {

constexpr int kDeviceAddress = 5;

constexpr std::uint8_t kReadTemperature = 0xAA;
constexpr std::uint8_t kReadCounter = 0xA8;
constexpr std::uint8_t kReadSlope = 0xA9;
constexpr std::uint8_t kStartConversion = 0xEE;
constexpr std::uint8_t kAccessConfig = 0xAC;

constexpr std::uint8_t kOneShot = 0x01;
constexpr std::uint8_t kDone = 0x80;

// The status of a cycle in which an access to the port failed.
constexpr int kPortFailed = 1;
// The status of a cycle whose registers no working chip holds.
constexpr int kImpossibleRegisters = 1;

// The chip's range in whole degrees.
constexpr int kLowestDegrees = -55;
constexpr int kHighestDegrees = 125;
// The bits the chip may set in the second byte of the temperature: the half degree.
constexpr unsigned int kHalfDegree = 0x80;

std::uint8_t writeAddress(int address) {
    return static_cast<std::uint8_t>((address * 2) | 0x90);
}
std::uint8_t readAddress(int address) {
    return static_cast<std::uint8_t>((address * 2) | 0x91);
}

// S W cmd: addresses the device for writing and names the command. A failed start condition
// sets *startFailed: the caller then returns at once, without a stop condition, as the bus is
// not the master's.
int beginCommand(int address, std::uint8_t command, int* startFailed) {
    *startFailed = 0;
    int status = Start();
    if (status != 0) {
        *startFailed = 1;
        return status;
    }
    status = Transmit(writeAddress(address));
    if (status == 0) {
        status = Transmit(command);
    }
    return status;
}

// S W cmd [data] P. A byte that is not acknowledged stops the sending, but the bus is still
// released with a stop condition.
int sendCommand(int address, std::uint8_t command, const std::uint8_t* data) {
    int startFailed = 0;
    int status = beginCommand(address, command, &startFailed);
    if (startFailed != 0) {
        return status;
    }
    if (status == 0 && data != nullptr) {
        status = Transmit(*data);
    }
    const int stopStatus = Stop();
    return status != 0 ? status : stopStatus;
}

// S W cmd Sr R: addresses the device to read the answer to a command.
int addressForRead(int address, std::uint8_t command, int* startFailed) {
    int status = beginCommand(address, command, startFailed);
    if (status == 0) {
        status = Start();
        if (status != 0) {
            *startFailed = 1;
            return status;
        }
        status = Transmit(readAddress(address));
    }
    return status;
}

// S W cmd Sr R Rx N P. A byte not received because of a failure counts as 0.
int readByte(int address, std::uint8_t command, std::uint8_t* out) {
    int startFailed = 0;
    const int status = addressForRead(address, command, &startFailed);
    if (startFailed != 0) {
        return status;
    }
    std::uint8_t received = 0;
    if (status == 0) {
        received = Receive();
        Nak();
    }
    const int stopStatus = Stop();
    *out = received;
    return status != 0 ? status : stopStatus;
}

// Registers a working chip can hold. A chip that lost its supply or its connection for a few
// milliseconds, or a data line stuck for as long, leaves the master reading ones or zeros for
// the rest of a byte with every acknowledge in place: such bytes show as a whole-degree byte out
// of the chip's range, a count remain above the count per degree it counts down from, or a
// second temperature byte that is neither the first again (the chip may start the register over
// after the repeated start) nor a low byte with only the half degree in it. A count per degree
// of 0 leaves the count remain unused, so it is not judged against it. A chip that lost its
// supply lost its conversion too, and says so in the configuration read after the wait and in
// the one read after the registers.
bool possibleRegisters(std::uint8_t cfg, std::uint8_t cfgAfterReads, std::uint16_t temperature,
                       std::uint8_t countRemain, std::uint8_t countPerDegree) {
    const unsigned int high = temperature >> 8U;
    const unsigned int low = temperature & 0xFFU;
    const int wholeDegrees = static_cast<std::int8_t>(high);
    const bool inRange = wholeDegrees >= kLowestDegrees && wholeDegrees <= kHighestDegrees;
    const bool countsPossible = countPerDegree == 0 || countRemain <= countPerDegree;
    const bool lowPossible = low == high || (low & ~kHalfDegree) == 0;
    // A second after the start of its conversion the chip has done it, and still says so after
    // the reads, unless it restarted and holds no conversion at all.
    const bool converted = (cfg & kDone) != 0 && (cfgAfterReads & kDone) != 0;
    return converted && inRange && countsPossible && lowPossible;
}

}  // namespace

int ReadCfg(int address, std::uint8_t* cfg) {
    return readByte(address, kAccessConfig, cfg);
}

int WriteCfg(int address, std::uint8_t cfg) {
    return sendCommand(address, kAccessConfig, &cfg);
}

int StartConversion(int address) {
    return sendCommand(address, kStartConversion, nullptr);
}

int ReadCounter(int address, std::uint8_t* count) {
    return readByte(address, kReadCounter, count);
}

int ReadSlope(int address, std::uint8_t* slope) {
    return readByte(address, kReadSlope, slope);
}

int WritePort(int address, std::uint8_t byte) {
    return sendCommand(address, byte, nullptr);
}

// S W 0xAA S R Rx S R Rx N P: the first byte is not acknowledged; the clock pulse of the repeated
// start, given with the data line released, ends that read.
int ReadTemperature(int address, std::uint16_t* value) {
    int startFailed = 0;
    int status = addressForRead(address, kReadTemperature, &startFailed);
    if (startFailed != 0) {
        return status;
    }
    unsigned int high = 0;
    unsigned int low = 0;
    if (status == 0) {
        high = Receive();
        status = Start();
        if (status != 0) {
            return status;
        }
        status = Transmit(readAddress(address));
    }
    if (status == 0) {
        low = Receive();
        Nak();
    }
    const int stopStatus = Stop();
    *value = static_cast<std::uint16_t>(high * 256U + low);
    return status != 0 ? status : stopStatus;
}

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
    port = static_cast<std::uint16_t>(portAddress);
    // A register access that fails reads a level that can pass for a bit the chip sent, so a
    // cycle in which one failed is not trusted, whatever it read. Earlier failures do not count.
    static_cast<void>(portFailed());
    applyPower();
    setAddress();

    std::uint8_t cfg = 0;
    std::uint16_t temperature = 0;
    std::uint8_t countRemain = 0;
    std::uint8_t countPerDegree = 0;

    int status = ReadCfg(kDeviceAddress, &cfg);
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
    if (status == 0 && portFailed() != 0) {
        status = kPortFailed;
    }
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
