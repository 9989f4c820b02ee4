// The platform through the kernel's I2C adapters (/dev/i2c-N, from the module i2c-dev): a
// Raspberry Pi's header, a USB adapter (MCP2221, CP2112, FT260, i2c-tiny-usb), a PC's SMBus. The
// kernel runs the bus, so what the program is granted is the chip, not port registers:
// RequestPortAccess finds the adapter that QUORVANE_I2C names, opens its device, checks that the
// adapter makes the SMBus calls the cycle needs, binds the file to the chip's address and takes
// the chip's lock (i2c_lock.h). quorvane_i2c links no two-wire bus, so nothing calls Input, Output
// or AccessFailed, and they are not defined here.
//
// QUORVANE_I2C ("bus=...;address=...") is read by this program alone:
//   bus=      an adapter's number (1), its device (/dev/i2c-1), or its name exactly as
//             /sys/bus/i2c/devices/i2c-N/name gives it (MCP2221 usb-i2c bridge); by default 1,
//             the Raspberry Pi header's pins 3 and 5
//   address=  the chip's address, 0x48 to 0x4f; by default 0x4d (A2 A1 A0 wired 1 0 1)
//
// A chip that a kernel driver holds is never forced (no I2C_SLAVE_FORCE), and the adapter is not
// changed for its other users (no I2C_TIMEOUT, no I2C_RETRIES).
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus/i2c_adapter.h"
#include "bus/i2c_lock.h"
#include "bus/i2c_sysfs.h"
#include "bus/port_io.h"
#include "settings/settings.h"

int adapterFile = -1;

namespace {

namespace settings = quorvane::settings;

constexpr const char* kVariable = "QUORVANE_I2C";
constexpr const char* kSettings =
    "the settings are bus and address, each name=value, separated by ';'";

// The family's eight addresses: 1001 A2 A1 A0.
constexpr long kLowestAddress = 0x48;
constexpr long kHighestAddress = 0x4F;
// The character devices of i2c-dev: the minor number is the adapter's.
constexpr unsigned int kI2cDevMajor = 89;
constexpr unsigned long kHighestAdapter = 0xFFFFF;

constexpr std::size_t kTextSize = 256;

// The SMBus calls of the cycle, and how a hint names each.
constexpr unsigned long kSendByte = I2C_FUNC_SMBUS_WRITE_BYTE;
constexpr unsigned long kReadByteData = I2C_FUNC_SMBUS_READ_BYTE_DATA;
constexpr unsigned long kWriteByteData = I2C_FUNC_SMBUS_WRITE_BYTE_DATA;
constexpr unsigned long kReadWordData = I2C_FUNC_SMBUS_READ_WORD_DATA;

// --- The settings, with their defaults.
char busSetting[kTextSize] = "1";
int chipAddress = 0x4D;

// --- The adapter found for them.
char adapterPath[kTextSize] = "";
int adapterNumber = -1;  // -1 while unknown
int lockFile = -1;
int lockedNumber = -1;  // the adapter whose chip lockFile locks

// What the last refusal was about, for its hint.
char hint[4 * kTextSize] = "";
int hintFor = 0;  // the errno the hint belongs to

// --- Reading QUORVANE_I2C.

// An address as C writes numbers (0x4d, 77), within the family's.
bool readAddress(settings::Span value, int* address) {
    char text[16];
    if (!settings::copySpan(value, text, sizeof text) || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    const long number = std::strtol(text, &end, 0);
    if (*end != '\0' || number < kLowestAddress || number > kHighestAddress) {
        return false;
    }
    *address = static_cast<int>(number);
    return true;
}

void readSetting(const settings::Setting& setting) {
    if (!setting.named) {
        settings::refuseSetting(kVariable, "not name=value:", setting.whole, kSettings);
    }
    if (settings::spanIs(setting.name, "bus")) {
        if (setting.value.length == 0 ||
            !settings::copySpan(setting.value, busSetting, sizeof busSetting) ||
            (settings::isDigits(busSetting) &&
             std::strtoul(busSetting, nullptr, 10) > kHighestAdapter)) {
            settings::refuseSetting(
                kVariable, "bad setting", setting.whole,
                "give the adapter's number (1), its device (/dev/i2c-1) or its name as "
                "/sys/bus/i2c/devices/i2c-N/name gives it");
        }
    } else if (settings::spanIs(setting.name, "address")) {
        if (!readAddress(setting.value, &chipAddress)) {
            settings::refuseSetting(
                kVariable, "bad setting", setting.whole,
                "give the chip's address, 0x48 to 0x4f, as its pins A2 A1 A0 are wired");
        }
    } else {
        settings::refuseSetting(kVariable, "unknown setting", setting.whole, kSettings);
    }
}

void readSettings() {
    const char* text = std::getenv(kVariable);
    settings::Setting setting{};
    while (text != nullptr && settings::nextSetting(&text, &setting)) {
        readSetting(setting);
    }
}

// --- Finding and opening the adapter.

// Refuses with `error`, keeping the hint made for it.
int refuse(int error) {
    hintFor = error;
    errno = error;
    return -1;
}

int refuseAndClose(int file, int error) {
    close(file);
    return refuse(error);
}

// The adapter's device and number for the bus setting: 0, or -1 when no adapter has the name
// given.
int findAdapter() {
    if (settings::isDigits(busSetting)) {
        adapterNumber = static_cast<int>(std::strtoul(busSetting, nullptr, 10));
        std::snprintf(adapterPath, sizeof adapterPath, "/dev/i2c-%d", adapterNumber);
        return 0;
    }
    if (busSetting[0] == '/') {
        std::snprintf(adapterPath, sizeof adapterPath, "%s", busSetting);
        const char* digits = std::strncmp(busSetting, "/dev/i2c-", 9) == 0 ? busSetting + 9 : "";
        adapterNumber =
            settings::isDigits(digits) ? static_cast<int>(std::strtoul(digits, nullptr, 10)) : -1;
        return 0;
    }
    adapterNumber = adapterNumberNamed(busSetting);
    if (adapterNumber < 0) {
        char adapters[2 * kTextSize];
        listAdapters(adapters, sizeof adapters);
        std::snprintf(hint, sizeof hint,
                      "\nNo I2C adapter is named \"%s\"; the adapters here: %s. Plug it in, or "
                      "choose one with %s=bus=...",
                      busSetting, adapters, kVariable);
        return refuse(ENODEV);
    }
    std::snprintf(adapterPath, sizeof adapterPath, "/dev/i2c-%d", adapterNumber);
    return 0;
}

int refuseOpen(int error) {
    if (error == ENOENT) {
        char adapters[2 * kTextSize];
        listAdapters(adapters, sizeof adapters);
        std::snprintf(hint, sizeof hint,
                      "\nNo %s: load i2c-dev (modprobe i2c-dev), and on a Raspberry Pi switch I2C "
                      "on (raspi-config, or dtparam=i2c_arm=on); the adapters here: %s",
                      adapterPath, adapters);
    } else if (error == EACCES || error == EPERM) {
        std::snprintf(hint, sizeof hint,
                      "\nNo right to %s: add the user to the group i2c (usermod -aG i2c USER), "
                      "log in again",
                      adapterPath);
    } else {
        std::snprintf(hint, sizeof hint, "\n%s cannot be opened (%s): see dmesg", adapterPath,
                      std::strerror(error));
    }
    return refuse(error);
}

// Which of the cycle's SMBus calls the adapter cannot make, for a hint: "", or "read word data".
void missingCalls(unsigned long functions, char* out, std::size_t size) {
    out[0] = '\0';
    const struct {
        unsigned long function;
        const char* name;
    } calls[] = {{kSendByte, "send byte"},
                 {kReadByteData, "read byte data"},
                 {kWriteByteData, "write byte data"},
                 {kReadWordData, "read word data"}};
    for (const auto& call : calls) {
        if ((functions & call.function) == 0) {
            const std::size_t used = std::strlen(out);
            std::snprintf(out + used, size - used, "%s%s", used == 0 ? "" : ", ", call.name);
        }
    }
}

// The chip is held by a kernel driver (I2C_SLAVE refused with EBUSY).
int refuseHeldByDriver(int file) {
    char chip[32];
    chipName(adapterNumber, chipAddress, chip, sizeof chip);
    char driver[64];
    char reading[kTextSize];
    if (!boundDriver(adapterNumber, chipAddress, driver, sizeof driver, reading, sizeof reading)) {
        std::snprintf(hint, sizeof hint,
                      "\nA kernel driver holds the chip at 0x%02x on %s (see "
                      "/sys/bus/i2c/devices/%s): free it, or choose another address",
                      static_cast<unsigned>(chipAddress), adapterPath, chip);
    } else {
        char shown[kTextSize + 32];
        std::snprintf(shown, sizeof shown, "%s%s",
                      reading[0] != '\0' ? "shows its reading in " : "",
                      reading[0] != '\0' ? reading : "shows no reading of its own");
        std::snprintf(
            hint, sizeof hint,
            "\nThe kernel's driver %s holds the chip at 0x%02x on %s and %s; to read it "
            "here, free it until the next boot (echo %s > /sys/bus/i2c/drivers/%s/unbind) "
            "and for good remove what declares it (a dtoverlay, a new_device)",
            driver, static_cast<unsigned>(chipAddress), adapterPath, shown, chip, driver);
    }
    return refuseAndClose(file, EBUSY);
}

// Takes the chip's lock, unless it is held already for this adapter.
int lockTheChip() {
    if (lockFile >= 0 && lockedNumber == adapterNumber) {
        return 0;
    }
    char holder[kTextSize];
    const int file = lockChip(adapterNumber, chipAddress, holder, sizeof holder);
    if (file < 0) {
        const int error = errno;
        char path[kTextSize];
        lockPath(adapterNumber, chipAddress, path, sizeof path);
        if (error == EBUSY) {
            std::snprintf(
                hint, sizeof hint,
                "\nAnother program reads the chip at 0x%02x on %s already%s%s%s: stop it, "
                "or give this one another chip's address with %s=address=...",
                static_cast<unsigned>(chipAddress), adapterPath, holder[0] != '\0' ? " (" : "",
                holder, holder[0] != '\0' ? ")" : "", kVariable);
        } else {
            std::snprintf(hint, sizeof hint,
                          "\nThe chip's lock %s cannot be taken (%s): /run/lock must exist and be "
                          "writable (a service needs ReadWritePaths=/run/lock)",
                          path, std::strerror(error));
        }
        return refuse(error);
    }
    if (lockFile >= 0) {
        close(lockFile);
    }
    lockFile = file;
    lockedNumber = adapterNumber;
    return 0;
}

// Finds the adapter, opens it, checks it and binds it to the chip: 0, or -1 with errno set and
// the hint ready.
int openAdapter() {
    if (findAdapter() != 0) {
        return -1;
    }
    const int file = open(adapterPath, O_RDWR | O_CLOEXEC);
    if (file < 0) {
        return refuseOpen(errno);
    }
    struct stat node {};
    if (adapterNumber < 0 && fstat(file, &node) == 0 && S_ISCHR(node.st_mode) &&
        major(node.st_rdev) == kI2cDevMajor) {
        adapterNumber = static_cast<int>(minor(node.st_rdev));
    }
    unsigned long functions = 0;
    if (ioctl(file, I2C_FUNCS, &functions) != 0) {
        const int error = errno;
        std::snprintf(hint, sizeof hint,
                      "\n%s is not an I2C adapter's device: choose one with %s=bus=...",
                      adapterPath, kVariable);
        return refuseAndClose(file, error);
    }
    char missing[kTextSize];
    missingCalls(functions, missing, sizeof missing);
    if (missing[0] != '\0') {
        char name[kTextSize];
        adapterName(adapterNumber, name, sizeof name);
        std::snprintf(hint, sizeof hint,
                      "\nThe adapter %s%s%s%s cannot make the SMBus calls the thermometer needs "
                      "(%s): use another adapter",
                      adapterPath, name[0] != '\0' ? " (\"" : "", name,
                      name[0] != '\0' ? "\")" : "", missing);
        return refuseAndClose(file, EOPNOTSUPP);
    }
    if (ioctl(file, I2C_SLAVE, static_cast<unsigned long>(chipAddress)) != 0) {
        const int error = errno;
        if (error == EBUSY) {
            return refuseHeldByDriver(file);
        }
        std::snprintf(hint, sizeof hint, "\n%s refused the address 0x%02x (%s): see dmesg",
                      adapterPath, static_cast<unsigned>(chipAddress), std::strerror(error));
        return refuseAndClose(file, error);
    }
    if (lockTheChip() != 0) {
        const int error = errno;
        close(file);
        errno = error;
        return -1;
    }
    adapterFile = file;
    return 0;
}

}  // namespace

void closeAdapter() {
    if (adapterFile >= 0) {
        close(adapterFile);
    }
    adapterFile = -1;
}

int reopenAdapter() {
    closeAdapter();
    return openAdapter();
}

// The adapter is opened once, at the first grant, and kept; the settings are read before
// anything is opened, so that a bad one ends the program first.
int RequestPortAccess(unsigned long /*from*/, unsigned long /*count*/, int turnOn) {
    if (turnOn == 0) {
        closeAdapter();
        if (lockFile >= 0) {
            close(lockFile);
        }
        lockFile = -1;
        lockedNumber = -1;
        return 0;
    }
    if (adapterFile >= 0) {
        return 0;
    }
    readSettings();
    hintFor = 0;
    return openAdapter();
}

const char* AccessHint(int error) {
    return error != 0 && error == hintFor ? hint : "";
}

void SleepSeconds(unsigned int seconds) {
    static_cast<void>(sleep(seconds));
}
