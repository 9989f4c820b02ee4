#include "sim/ds1621.h"

#include <algorithm>
#include <cmath>

namespace quorvane::sim {

namespace {

std::int16_t asSigned(std::uint16_t word) {
    return static_cast<std::int16_t>(word);
}

std::uint8_t highByte(std::uint16_t word) {
    return static_cast<std::uint8_t>(word >> 8);
}
std::uint8_t lowByte(std::uint16_t word) {
    return static_cast<std::uint8_t>(word & 0xFF);
}

}  // namespace

Reading readingFor(double t, std::uint8_t countPerC) {
    // A reading out of the sensor's range pins to its ends; so does nonsense.
    const double clamped =
        std::isnan(t) ? kLowestCelsius : std::clamp(t, kLowestCelsius, kHighestCelsius);
    const int halves = static_cast<int>(std::floor(clamped * 2.0 + 0.5));
    const int tempRead = static_cast<int>(std::floor(clamped + 0.25));
    const double remain = std::floor(countPerC * (tempRead + 0.75 - clamped) + 0.5);
    Reading r;
    r.temperature = static_cast<std::uint16_t>(static_cast<unsigned>(halves) << 7);
    r.countRemain = static_cast<std::uint8_t>(remain);
    r.countPerC = countPerC;
    return r;
}

Ds1621::Ds1621(const SimClock& clock) : clock_(clock) {
    factoryReset();
}

void Ds1621::factoryReset() {
    nvConfig_ = 0;  // continuous mode: a fresh chip must be told to convert once
    th_ = kFactoryTh;
    tl_ = kFactoryTl;
    eepromWrites_ = 0;
    powerOff();
}

void Ds1621::powerOn() {
    powerOff();
    powered_ = true;
}

void Ds1621::powerOff() {
    powered_ = false;
    eepromBusyUntil_ = 0;
    done_ = false;
    thf_ = false;
    tlf_ = false;
    reading_ = Reading{};
    slopeInCounter_ = false;
    converting_ = false;
    stopAfterThis_ = false;
    conversionEnd_ = 0;
    selected_ = false;
    expectCommand_ = false;
    lastCommand_.reset();
    dataBytes_ = 0;
    firstDataByte_ = 0;
    answerLength_ = 0;
    answerPos_ = 0;
}

DeviceRegisters Ds1621::registers() {
    advance();
    DeviceRegisters r;
    r.config = configByte();
    r.reading = reading_;
    r.counter = slopeInCounter_ ? reading_.countPerC : reading_.countRemain;
    r.th = th_;
    r.tl = tl_;
    r.converting = converting_;
    r.powered = powered_;
    return r;
}

void Ds1621::start() {
    selected_ = false;
}

void Ds1621::stop() {
    selected_ = false;
}

bool Ds1621::address(std::uint8_t byte) {
    if ((byte >> 1) != (kBusAddressBase | pins_)) {
        return false;
    }
    advance();
    selected_ = true;
    if ((byte & 1) != 0) {
        loadAnswer();  // every new read starts the last command's answer afresh
    } else {
        expectCommand_ = true;
        dataBytes_ = 0;
    }
    return true;
}

bool Ds1621::write(std::uint8_t byte) {
    if (!selected_) {
        return false;
    }
    advance();
    if (expectCommand_) {
        expectCommand_ = false;
        lastCommand_ = byte;
        dataBytes_ = 0;
        execute(byte);
    } else {
        writeData(byte);
    }
    return true;
}

std::uint8_t Ds1621::read() {
    if (answerPos_ < answerLength_) {
        return answer_[answerPos_++];
    }
    return 0xFF;
}

void Ds1621::advance() {
    const Micros now = clock_.now();
    while (converting_ && conversionEnd_ <= now) {
        const Micros end = conversionEnd_;
        finishConversion(end);
        const bool continuous = (nvConfig_ & config::kOneShot) == 0 && !stopAfterThis_;
        if (continuous) {
            conversionEnd_ = end + kConversionTime;
        } else {
            converting_ = false;
            stopAfterThis_ = false;
        }
    }
}

void Ds1621::finishConversion(Micros at) {
    reading_ = raw_ ? *raw_ : readingFor(profile_ ? profile_(at) : 25.0, countPerC_);
    done_ = true;
    slopeInCounter_ = false;
    const std::int16_t t = asSigned(reading_.temperature);
    thf_ = thf_ || t >= asSigned(th_);
    tlf_ = tlf_ || t <= asSigned(tl_);
}

void Ds1621::execute(std::uint8_t cmd) {
    switch (cmd) {
        case command::kStartConvert:
            if (!converting_) {
                converting_ = true;
                done_ = false;
                conversionEnd_ = clock_.now() + kConversionTime;
            }
            stopAfterThis_ = false;
            break;
        case command::kStopConvert:
            if (converting_) {
                stopAfterThis_ = true;
            }
            break;
        case command::kReadSlope:
            slopeInCounter_ = true;
            break;
        default:
            break;  // reads take their answer when the master turns the bus round
    }
}

void Ds1621::writeData(std::uint8_t byte) {
    const std::uint8_t index = dataBytes_;
    if (dataBytes_ < 2) {
        ++dataBytes_;
    }
    if (!lastCommand_) {
        return;
    }
    switch (*lastCommand_) {
        case command::kAccessConfig:
            if (index == 0 && !eepromBusy()) {
                // Flags can only be cleared; DONE and NVB are the chip's own.
                nvConfig_ = byte & (config::kPol | config::kOneShot);
                thf_ = thf_ && (byte & config::kThf) != 0;
                tlf_ = tlf_ && (byte & config::kTlf) != 0;
                startEepromCycle();
            }
            break;
        case command::kAccessTh:
        case command::kAccessTl:
            if (index == 0) {
                firstDataByte_ = byte;
            } else if (index == 1 && !eepromBusy()) {
                const auto word =
                    static_cast<std::uint16_t>(((firstDataByte_ << 8) | byte) & 0xFF80);
                (*lastCommand_ == command::kAccessTh ? th_ : tl_) = word;
                startEepromCycle();
            }
            break;
        default:
            break;  // commands without data ignore what follows them
    }
}

bool Ds1621::eepromBusy() const {
    return clock_.now() < eepromBusyUntil_;
}

void Ds1621::startEepromCycle() {
    eepromBusyUntil_ = clock_.now() + kEepromWriteTime;
    ++eepromWrites_;
}

std::uint8_t Ds1621::configByte() const {
    std::uint8_t c = nvConfig_;
    c = static_cast<std::uint8_t>(c | (done_ ? config::kDone : 0) | (thf_ ? config::kThf : 0) |
                                  (tlf_ ? config::kTlf : 0) | (eepromBusy() ? config::kNvb : 0));
    return c;
}

void Ds1621::loadAnswer() {
    answerPos_ = 0;
    answerLength_ = 0;
    if (!lastCommand_) {
        return;
    }
    auto one = [this](std::uint8_t b) {
        answer_[0] = b;
        answerLength_ = 1;
    };
    auto two = [this](std::uint16_t w) {
        answer_[0] = highByte(w);
        answer_[1] = lowByte(w);
        answerLength_ = 2;
    };
    switch (*lastCommand_) {
        case command::kReadTemperature:
            two(reading_.temperature);
            break;
        case command::kReadCounter:
            one(slopeInCounter_ ? reading_.countPerC : reading_.countRemain);
            break;
        case command::kReadSlope:
            one(reading_.countPerC);
            break;
        case command::kAccessTh:
            two(th_);
            break;
        case command::kAccessTl:
            two(tl_);
            break;
        case command::kAccessConfig:
            one(configByte());
            break;
        default:
            break;
    }
}

}  // namespace quorvane::sim
