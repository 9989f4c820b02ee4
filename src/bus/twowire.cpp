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
// Data register: every output the adapter wires, raised at once: the clock (0x80), the address
// pins A2 A1 A0 (0x70) and the supply (0x07); only the unconnected 0x08 is left as it was.
constexpr std::uint8_t kWiredOutputs = 0xF7;
constexpr std::uint8_t kA2AndClock = 0xC0;   // data register: address pin A2 and the clock
constexpr std::uint8_t kAllButA1 = 0xDF;     // data register: clears address pin A1
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
    orRegister(kDataReg, kWiredOutputs);
    setData();
}

void setAddress() {
    orRegister(kDataReg, kA2AndClock);
    andRegister(kDataReg, kAllButA1);
    DelayMsec(1);
}

void driveDataLines() {
    andRegister(kControlReg, static_cast<std::uint8_t>(~kDataReverse));
}

int portFailed() {
    return AccessFailed();
}

// Framing. Each operation below says which state of the clock (SCL) and the data line (SDA) it
// expects on entry and leaves on return. The master drives the clock alone (no device can hold
// it, and the program cannot read it back); it only pulls or releases the data line, which the
// pull-up raises when nobody pulls it. Every line operation is followed by its 1 ms wait, so a
// second identical operation changes no line and only lengthens the state the line is in.

// Entry: SCL low with SDA in any state (a repeated start, after a byte or a received byte), or
// SCL high with SDA released (the idle bus after applyPower or Stop). Return 0: SCL low, SDA
// pulled low. Return 1: SCL high, SDA released by the master but held low by a device.
// From a received byte, the clock pulse given here with SDA released is also the master's
// not-acknowledge of that byte.
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
    // SDA falling under the high clock is the start condition. The second resetData changes no
    // line: it holds the condition one more millisecond, two in all, as long as the clock stays
    // high for a received bit, so that the device has seen SDA fall under a high clock before the
    // clock falls and the first bit begins.
    resetData();
    resetData();
    resetClk();
    return 0;
}

// Entry: SCL low, SDA in any state (after a byte's ninth clock, Nak or a failed Transmit).
// Return: SCL high, SDA released by the master: the idle bus; 1 when a device still holds SDA
// low. SDA rising under the high clock is the stop condition.
int Stop() {
    resetData();
    setClk();
    setData();
    // A device that still holds the line once it was released is not where the master left it.
    return sampleData() == 1 ? 0 : 1;
}

// Entry: SCL low (after Start or the ninth clock of a byte), SDA in any state. Each bit is put
// on SDA while SCL is low, where the device may take it, and held while SCL is high. Return:
// SCL low; SDA released after the ninth clock, or, when the send stopped at a bit that did not
// read back, as that bit left it.
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
    // The master lets go of SDA for the ninth clock. The device changes SDA only while SCL is
    // low, and a released line rises only through the pull-up: the second setData changes no
    // line but keeps SCL low one more millisecond, so that the device's acknowledge (or the
    // pull-up, where no device answers) has settled on SDA before SCL rises and it is sampled.
    setData();
    setData();
    setClk();
    // The device acknowledges by holding the line low while the ninth clock is high.
    const int acknowledged = sampleData() == 0;
    resetClk();
    return acknowledged ? 0 : 1;
}

// Entry: SCL low, after the read address's ninth clock (SDA released) or an Ack (SDA pulled
// low). The device puts each bit on SDA while SCL is low; getData releases SDA before each
// sample, taken at the end of the high clock. Return: SCL low, SDA released, and no ninth
// clock: the caller gives it with Nak, Ack or a repeated Start.
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

// Entry: SCL low, after a received byte. The ninth clock with SDA released: no more bytes.
// Return: SCL low, SDA released.
void Nak() {
    setData();
    setClk();
    resetClk();
}

// Entry: SCL low, after a received byte. The ninth clock with SDA pulled low: another byte.
// Return: SCL low, SDA pulled low.
void Ack() {
    resetData();
    setClk();
    resetClk();
}
