#include "bus/twowire.h"

#include "bus/port_io.h"

std::uint16_t port = 0x378;

namespace {

// Register offsets from the base address.
constexpr std::uint16_t kDataReg = 0;
constexpr std::uint16_t kStatusReg = 1;
constexpr std::uint16_t kControlReg = 2;

// Line masks of the adapter.
constexpr std::uint8_t kClock = 0x80;    // data register: set is clock high
constexpr std::uint8_t kDataOut = 0x08;  // control register: set pulls the data line low
constexpr std::uint8_t kDataIn = 0x10;   // status register: set means the data line is low
constexpr std::uint8_t kSupply = 0xF7;   // data register: every output but the unused 0x08
constexpr std::uint8_t kAddressHigh = 0xC0;
constexpr std::uint8_t kAddressLowMask = 0xDF;
constexpr std::uint8_t kDataReverse = 0x20;  // control register: set turns the data lines inward

// Clock pulses given to free a data line held low before a start condition.
constexpr int kBusFreePulses = 9;

std::uint16_t reg(std::uint16_t offset) {
    return static_cast<std::uint16_t>(port + offset);
}

void orRegister(std::uint16_t offset, std::uint8_t bits) {
    const std::uint8_t v = Input(reg(offset));
    Output(reg(offset), static_cast<std::uint8_t>(v | bits));
}

void andRegister(std::uint16_t offset, std::uint8_t mask) {
    const std::uint8_t v = Input(reg(offset));
    Output(reg(offset), static_cast<std::uint8_t>(v & mask));
}

// Reads the data line without touching it: 1 high, 0 held low.
int sampleData() {
    return (Input(reg(kStatusReg)) & kDataIn) == 0 ? 1 : 0;
}

}  // namespace

void DelayMsec(int ms) {
    // The count wraps like the unsigned 32-bit number it is.
    const std::uint32_t reads = static_cast<std::uint32_t>(ms) * 1000U;
    const std::uint16_t address = reg(kDataReg);
    for (std::uint32_t i = 0; i < reads; ++i) {
        static_cast<void>(Input(address));
    }
}

void DelaySec(unsigned int s) {
    SleepSeconds(s);
}

void setClk() {
    orRegister(kDataReg, kClock);
    DelayMsec(1);
}

void resetClk() {
    andRegister(kDataReg, static_cast<std::uint8_t>(~kClock));
    DelayMsec(1);
}

void setData() {
    andRegister(kControlReg, static_cast<std::uint8_t>(~kDataOut));
    DelayMsec(1);
}

void resetData() {
    orRegister(kControlReg, kDataOut);
    DelayMsec(1);
}

int getData() {
    setData();
    return sampleData();
}

void applyPower() {
    orRegister(kDataReg, kSupply);
    setData();
}

void setAddress() {
    orRegister(kDataReg, kAddressHigh);
    andRegister(kDataReg, kAddressLowMask);
    DelayMsec(1);
}

void driveDataLines() {
    andRegister(kControlReg, static_cast<std::uint8_t>(~kDataReverse));
}

int portFailed() {
    return AccessFailed();
}

int Start() {
    setData();
    setClk();
    // A device left in the middle of a byte (the program stopped mid-transaction) may still hold
    // the data line low, and then no start condition can be made. Clocking it with the line
    // released lets it finish its byte and let go: nine pulses cover eight bits and the
    // acknowledge.
    int dataHigh = sampleData();
    for (int pulse = 0; dataHigh == 0 && pulse < kBusFreePulses; ++pulse) {
        resetClk();
        setClk();
        dataHigh = sampleData();
    }
    if (dataHigh == 0) {
        return 1;
    }
    resetData();
    resetData();
    resetClk();
    return 0;
}

int Stop() {
    resetData();
    setClk();
    setData();
    // A device that still holds the line once it was released is not where the master left it.
    return sampleData() == 1 ? 0 : 1;
}

int Transmit(std::uint8_t b) {
    for (int bit = 7; bit >= 0; --bit) {
        const int sent = (b >> bit) & 1;
        if (sent != 0) {
            setData();
        } else {
            resetData();
        }
        setClk();
        // The line must read back the bit the master put on it. Held low under a released bit (a
        // stuck line, a device out of step, as when the master loses an arbitration) or high
        // while the master pulls it low (a line shorted high), it is not the master's, and the
        // device would take another byte under its acknowledge.
        const int readBack = sampleData();
        resetClk();
        if (readBack != sent) {
            return 1;
        }
    }
    setData();
    setData();
    setClk();
    // The device acknowledges by holding the line low while the ninth clock is high.
    const int acknowledged = sampleData() == 0;
    resetClk();
    return acknowledged ? 0 : 1;
}

std::uint8_t Receive() {
    unsigned int r = 0;
    for (int i = 0; i < 8; ++i) {
        r <<= 1U;
        setClk();
        if (getData() == 1) {
            r |= 1U;
        }
        resetClk();
    }
    return static_cast<std::uint8_t>(r);
}

void Nak() {
    setData();
    setClk();
    resetClk();
}

void Ack() {
    resetData();
    setClk();
    resetClk();
}
