// A DS1621-type thermometer at byte level: registers, commands, conversions and its EEPROM.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "sim/bus_decoder.h"
#include "sim/sim_clock.h"

namespace quorvane::sim {

// The chip's measuring range in degrees Celsius; a true temperature beyond it reads as its end.
inline constexpr double kLowestCelsius = -55.0;
inline constexpr double kHighestCelsius = 125.0;

using TemperatureProfile = std::function<double(Micros)>;

namespace command {
inline constexpr std::uint8_t kStartConvert = 0xEE;
inline constexpr std::uint8_t kStopConvert = 0x22;
inline constexpr std::uint8_t kReadTemperature = 0xAA;
inline constexpr std::uint8_t kReadCounter = 0xA8;
inline constexpr std::uint8_t kReadSlope = 0xA9;
inline constexpr std::uint8_t kAccessTh = 0xA1;
inline constexpr std::uint8_t kAccessTl = 0xA2;
inline constexpr std::uint8_t kAccessConfig = 0xAC;
}  // namespace command

namespace config {
inline constexpr std::uint8_t kDone = 0x80;
inline constexpr std::uint8_t kThf = 0x40;
inline constexpr std::uint8_t kTlf = 0x20;
inline constexpr std::uint8_t kNvb = 0x10;
inline constexpr std::uint8_t kPol = 0x02;
inline constexpr std::uint8_t kOneShot = 0x01;
}  // namespace config

inline constexpr Micros kConversionTime = 750 * kMicrosPerMilli;
inline constexpr Micros kEepromWriteTime = 10 * kMicrosPerMilli;
inline constexpr std::uint8_t kBusAddressBase = 0x48;  // 1001 A2 A1 A0

// What one conversion leaves in the registers.
struct Reading {
    std::uint16_t temperature = 0;  // 9 significant bits, two's complement, 0.5 degree steps
    std::uint8_t countRemain = 0;
    std::uint8_t countPerC = 0;
    friend bool operator==(const Reading&, const Reading&) = default;
};

// The registers a conversion of the true temperature t gives, with `countPerC` counts a degree.
Reading readingFor(double t, std::uint8_t countPerC);

struct DeviceRegisters {
    std::uint8_t config = 0;   // as a read of the configuration would return it now
    Reading reading;           // temperature, count remain and count per degree as last converted
    std::uint8_t counter = 0;  // what Read Counter answers (the slope after a Read Slope)
    std::uint16_t th = 0;
    std::uint16_t tl = 0;
    bool converting = false;
    bool powered = false;
};

class Ds1621 final : public BusTarget {
  public:
    static constexpr std::uint16_t kFactoryTh = 0x7D00;  // +125
    static constexpr std::uint16_t kFactoryTl = 0xC900;  // -55
    static constexpr std::uint8_t kFactoryCountPerC = 16;

    explicit Ds1621(const SimClock& clock);

    // Factory-fresh: EEPROM as shipped, unpowered.
    void factoryReset();
    void powerOn();
    void powerOff();
    bool powered() const { return powered_; }
    void setAddressPins(std::uint8_t pins) { pins_ = static_cast<std::uint8_t>(pins & 7); }

    void setTemperature(TemperatureProfile profile) { profile_ = std::move(profile); }
    void setCountPerC(std::uint8_t countPerC) { countPerC_ = countPerC; }
    // Forces what the next conversions leave in the registers; nullopt follows the temperature.
    void setRawReading(std::optional<Reading> reading) { raw_ = reading; }

    DeviceRegisters registers();
    unsigned long eepromWrites() const { return eepromWrites_; }

    void start() override;
    void stop() override;
    bool address(std::uint8_t byte) override;
    bool write(std::uint8_t byte) override;
    std::uint8_t read() override;

  private:
    void advance();  // brings conversions up to the clock's time
    void finishConversion(Micros at);
    void execute(std::uint8_t cmd);
    void writeData(std::uint8_t byte);
    bool eepromBusy() const;
    void startEepromCycle();
    std::uint8_t configByte() const;
    void loadAnswer();

    const SimClock& clock_;
    TemperatureProfile profile_;
    std::uint8_t countPerC_ = kFactoryCountPerC;
    std::optional<Reading> raw_;
    std::uint8_t pins_ = 0;

    // EEPROM: survives power loss.
    std::uint8_t nvConfig_ = 0;  // POL and 1SHOT
    std::uint16_t th_ = kFactoryTh;
    std::uint16_t tl_ = kFactoryTl;
    unsigned long eepromWrites_ = 0;

    // Volatile state.
    bool powered_ = false;
    Micros eepromBusyUntil_ = 0;
    bool done_ = false;
    bool thf_ = false;
    bool tlf_ = false;
    Reading reading_;
    bool slopeInCounter_ = false;
    bool converting_ = false;
    bool stopAfterThis_ = false;
    Micros conversionEnd_ = 0;

    // Bus transaction state.
    bool selected_ = false;  // our address was acknowledged in this transfer
    bool expectCommand_ = false;
    std::optional<std::uint8_t> lastCommand_;
    std::uint8_t dataBytes_ = 0;  // data bytes written after the command
    std::uint8_t firstDataByte_ = 0;
    std::uint8_t answer_[2] = {0xFF, 0xFF};
    std::uint8_t answerLength_ = 0;
    std::uint8_t answerPos_ = 0;
};

}  // namespace quorvane::sim
