#include "bus/smbus.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cerrno>

#include "bus/i2c_adapter.h"
#include "bus/port_io.h"

// Set by main as on every program; nothing here reads it.
std::uint16_t port = 0x378;

namespace {

constexpr long kNanosPerMilli = 1000000;
constexpr long kMillisPerSecond = 1000;

int smbusCall(std::uint8_t readWrite, std::uint8_t command, std::uint32_t size,
              i2c_smbus_data* data) {
    if (adapterFile < 0) {
        return ENODEV;
    }
    i2c_smbus_ioctl_data call{};
    call.read_write = readWrite;
    call.command = command;
    call.size = size;
    call.data = data;
    if (ioctl(adapterFile, I2C_SMBUS, &call) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

}  // namespace

int smbusReadByteData(std::uint8_t command, std::uint8_t* value) {
    i2c_smbus_data data{};
    const int status = smbusCall(I2C_SMBUS_READ, command, I2C_SMBUS_BYTE_DATA, &data);
    *value = status == 0 ? data.byte : 0;
    return status;
}

int smbusWriteByteData(std::uint8_t command, std::uint8_t value) {
    i2c_smbus_data data{};
    data.byte = value;
    return smbusCall(I2C_SMBUS_WRITE, command, I2C_SMBUS_BYTE_DATA, &data);
}

int smbusWriteByte(std::uint8_t command) {
    return smbusCall(I2C_SMBUS_WRITE, command, I2C_SMBUS_BYTE, nullptr);
}

int smbusReadWordData(std::uint8_t command, std::uint16_t* value) {
    i2c_smbus_data data{};
    const int status = smbusCall(I2C_SMBUS_READ, command, I2C_SMBUS_WORD_DATA, &data);
    *value = status == 0 ? data.word : 0;
    return status;
}

void DelayMsec(int ms) {
    if (ms <= 0) {
        return;
    }
    const long nanos = static_cast<long>(ms) * kNanosPerMilli;
    timespec wait{nanos / (kMillisPerSecond * kNanosPerMilli),
                  nanos % (kMillisPerSecond * kNanosPerMilli)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, &wait) == EINTR) {
    }
}

void DelaySec(unsigned int s) {
    SleepSeconds(s);
}
