// The chip's transactions on the two-wire bus that the program drives itself, one line change at
// a time, through the port (bus/twowire.h).
//
// A data line the device still holds after the stop condition fails a transaction too.
#include "bus/twowire.h"
#include "thermometer/commands.h"
#include "thermometer/transactions.h"

namespace {

// The status of a cycle in which an access to the port failed.
constexpr int kPortFailed = 1;

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

}  // namespace

int ReadCfg(int address, std::uint8_t* cfg) {
    return readByte(address, command::kAccessConfig, cfg);
}

int WriteCfg(int address, std::uint8_t cfg) {
    return sendCommand(address, command::kAccessConfig, &cfg);
}

int StartConversion(int address) {
    return sendCommand(address, command::kStartConversion, nullptr);
}

int ReadCounter(int address, std::uint8_t* count) {
    return readByte(address, command::kReadCounter, count);
}

int ReadSlope(int address, std::uint8_t* slope) {
    return readByte(address, command::kReadSlope, slope);
}

int WritePort(int address, std::uint8_t byte) {
    return sendCommand(address, byte, nullptr);
}

// S W 0xAA S R Rx S R Rx N P: the first byte is not acknowledged; the clock pulse of the repeated
// start, given with the data line released, ends that read.
int ReadTemperature(int address, std::uint16_t* value) {
    int startFailed = 0;
    int status = addressForRead(address, command::kReadTemperature, &startFailed);
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

// A port that another program left turned around would neither power nor clock the chip.
void ReadyBus() {
    driveDataLines();
}

int BeginMeasurement(int portAddress) {
    port = static_cast<std::uint16_t>(portAddress);
    // A register access that fails reads a level that can pass for a bit the chip sent, so a
    // cycle in which one failed is not trusted, whatever it read. Earlier failures do not count.
    static_cast<void>(portFailed());
    applyPower();
    setAddress();
    return 0;
}

int EndMeasurement(int status) {
    if (status == 0 && portFailed() != 0) {
        return kPortFailed;
    }
    return status;
}

// The repeated start before the second byte lets the chip start the register over.
int WordReaddressed() {
    return 1;
}
