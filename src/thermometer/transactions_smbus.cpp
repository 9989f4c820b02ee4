// The chip's transactions as SMBus calls through the kernel's I2C adapter (bus/smbus.h), one call
// each. The adapter's file is bound to the chip's address when it is opened (QUORVANE_I2C's
// address, whose pins the user wired), so the cycle's device address is not used here.
//
// A USB adapter that is unplugged fails every call; the kernel removes it only once its file is
// closed, and it comes back under a new number when it is plugged in again. So after a few
// cycles failed in a row the file is closed, and each later cycle first looks for the adapter
// again.
#include <cerrno>

#include "bus/i2c_adapter.h"
#include "bus/smbus.h"
#include "thermometer/commands.h"
#include "thermometer/transactions.h"

namespace {

// Cycles failed in a row after which the adapter's file is closed and the adapter looked for
// again: a chip that misses a cycle or two is no reason to.
constexpr int kFailedCyclesBeforeReopen = 3;

int failedCycles = 0;

}  // namespace

int ReadCfg(int /*address*/, std::uint8_t* cfg) {
    return smbusReadByteData(command::kAccessConfig, cfg);
}

int WriteCfg(int /*address*/, std::uint8_t cfg) {
    return smbusWriteByteData(command::kAccessConfig, cfg);
}

int StartConversion(int /*address*/) {
    return smbusWriteByte(command::kStartConversion);
}

int ReadCounter(int /*address*/, std::uint8_t* count) {
    return smbusReadByteData(command::kReadCounter, count);
}

int ReadSlope(int /*address*/, std::uint8_t* slope) {
    return smbusReadByteData(command::kReadSlope, slope);
}

int WritePort(int /*address*/, std::uint8_t byte) {
    return smbusWriteByte(byte);
}

// The chip sends its most significant byte first, which SMBus puts in the word's low half.
int ReadTemperature(int /*address*/, std::uint16_t* value) {
    std::uint16_t word = 0;
    const int status = smbusReadWordData(command::kReadTemperature, &word);
    *value = static_cast<std::uint16_t>(((word & 0xFFU) << 8U) | (word >> 8U));
    return status;
}

// The kernel drives the lines: nothing to make ready.
void ReadyBus() {}

int BeginMeasurement(int /*portAddress*/) {
    if (adapterFile >= 0) {
        return 0;
    }
    if (reopenAdapter() != 0) {
        return errno != 0 ? errno : ENODEV;
    }
    failedCycles = 0;
    return 0;
}

int EndMeasurement(int status) {
    if (status == 0) {
        failedCycles = 0;
        return 0;
    }
    if (failedCycles < kFailedCyclesBeforeReopen) {
        ++failedCycles;
    }
    if (failedCycles == kFailedCyclesBeforeReopen && adapterFile >= 0) {
        closeAdapter();
    }
    return status;
}

// The word comes in one transfer: its second byte is never the first again.
int WordReaddressed() {
    return 0;
}
