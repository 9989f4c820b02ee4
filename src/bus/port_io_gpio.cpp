// The platform as two GPIO lines of the kernel's GPIO character device: a Raspberry Pi's header,
// another board's, or a USB adapter whose pins the kernel exposes as a GPIO chip. The lines stand
// in for the adapter's registers, so that the layers above see the parallel port they know:
//   data register bit 0x80     the clock line, SCL (set: released high)
//   control register bit 0x08  the data line, SDA (set: pulled low)
//   status register bit 0x10   set when SDA reads low
// Every other bit (supply, address, the read-back of both registers) lives in the port's own
// latch: the chip takes its supply from the board, and its address pins are wired.
//
// Only a write that changes SCL or SDA, and a read of the status register, reach the kernel, each
// when it is due (bus/port_pacing.h). A read of the data register is served from the latch and
// owes the microsecond a read of a real port takes, so that the busy wait's 1000 reads still make
// a millisecond on any board without costing 1000 ioctls or a core's time.
//
// The lines come from QUORVANE_GPIO ("chip=...;sda=...;scl=..."), read by this port alone.
#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus/port_grant.h"
#include "bus/port_io.h"
#include "bus/port_pacing.h"
#include "settings/settings.h"

namespace {

namespace settings = quorvane::settings;

constexpr const char* kVariable = "QUORVANE_GPIO";
constexpr const char* kSettings =
    "the settings are chip, sda and scl, each name=value, separated by ';'";
constexpr int kBadSettingStatus = 2;  // as a bad QUORVANE_SIM ends quorvane_sim

constexpr unsigned char kClock = 0x80;     // data register
constexpr unsigned char kDataLow = 0x10;   // status register
constexpr unsigned char kPullData = 0x08;  // control register
// What a read gives when the ioctl fails, as a port with nothing behind it reads: every bit set.
constexpr unsigned char kUndriven = 0xFF;

// Bits of the two lines in a request: SDA is the first line requested, SCL the second.
constexpr std::uint64_t kSdaBit = 1U;
constexpr std::uint64_t kSclBit = 2U;

constexpr std::int64_t kNanosPerMilli = 1000000;

// The wiring check: a released line must read high within this time.
constexpr std::int64_t kRiseWithin = kNanosPerMilli;
// Clock pulses that let a chip left in the middle of a byte finish it and let go of SDA.
constexpr int kBusFreePulses = 9;
// The thermometer's bus address for writing: device address 5.
constexpr unsigned char kProbeAddress = 0x9A;

constexpr std::size_t kTextSize = 256;
constexpr std::size_t kHolderSize = 96;     // "line N is held by \"consumer\""
constexpr std::size_t kLineTextSize = 320;  // "SDA (line N of /dev/...)"

// --- The settings, with their defaults: the Raspberry Pi header's pins 3 (GPIO2) and 5 (GPIO3).
char chipSetting[kTextSize] = "/dev/gpiochip0";
char sdaSetting[GPIO_MAX_NAME_SIZE] = "2";
char sclSetting[GPIO_MAX_NAME_SIZE] = "3";

// --- The granted lines.
char chipPath[kTextSize] = "";  // the chip's device, once found
int lines = -1;                 // the request's file: both lines, released when it is closed
unsigned int sdaOffset = 0;
unsigned int sclOffset = 0;

// The port's own latch of the two registers that the program writes.
unsigned char dataLatch = kClock;
unsigned char controlLatch = 0;
// The levels last given to the kernel: released (true) or pulled low.
bool sclReleased = true;
bool sdaReleased = true;

// What the last refusal was about, for its hint.
char hint[8 * kTextSize] = "";
int hintFor = 0;  // the errno the hint belongs to

std::int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 * kNanosPerMilli + now.tv_nsec;
}

// --- Reading QUORVANE_GPIO.

// A line setting: an offset (digits) or a line's name (anything printable without spaces).
bool isLineSetting(const char* text) {
    if (*text == '\0' || std::strlen(text) >= GPIO_MAX_NAME_SIZE) {
        return false;
    }
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c <= ' ' || *c == 0x7F) {
            return false;
        }
    }
    if (settings::isDigits(text)) {
        errno = 0;
        const unsigned long offset = std::strtoul(text, nullptr, 10);
        return errno == 0 && offset <= UINT32_MAX;
    }
    return true;
}

void readSetting(const settings::Setting& setting) {
    if (!setting.named) {
        settings::refuseSetting(kVariable, "not name=value:", setting.whole, kSettings);
    }
    if (settings::spanIs(setting.name, "chip")) {
        if (setting.value.length == 0 ||
            !settings::copySpan(setting.value, chipSetting, sizeof chipSetting)) {
            settings::refuseSetting(
                kVariable, "bad setting", setting.whole,
                "give a chip's device (/dev/gpiochip0) or its label (pinctrl-rp1)");
        }
    } else if (settings::spanIs(setting.name, "sda") || settings::spanIs(setting.name, "scl")) {
        char value[GPIO_MAX_NAME_SIZE];
        if (!settings::copySpan(setting.value, value, sizeof value) || !isLineSetting(value)) {
            settings::refuseSetting(kVariable, "bad setting", setting.whole,
                                    "give a line's offset (2) or its name (GPIO2)");
        }
        std::snprintf(settings::spanIs(setting.name, "sda") ? sdaSetting : sclSetting,
                      GPIO_MAX_NAME_SIZE, "%s", value);
    } else {
        settings::refuseSetting(kVariable, "unknown setting", setting.whole, kSettings);
    }
}

void readSettings() {
    const char* text = std::getenv(kVariable);
    settings::Setting setting{};
    while (text != nullptr && settings::nextSetting(&text, &setting)) {
        if (setting.whole.length >= kTextSize) {
            settings::refuseSetting(kVariable, "bad setting", {"...", 3},
                                    "a setting is at most 254 characters long");
        }
        readSetting(setting);
    }
    if (std::strcmp(sdaSetting, sclSetting) == 0) {
        std::fprintf(stderr, "%s: %s: sda and scl are both line %s; they must be two lines\n",
                     program_invocation_short_name, kVariable, sdaSetting);
        std::exit(kBadSettingStatus);
    }
}

// --- Finding the chip and the lines.

// Refuses the access with `error`, keeping a hint for it.
int refuse(int error) {
    hintFor = error;
    errno = error;
    return -1;
}

// The number N of an entry gpiochipN of /dev, or -1 for any other entry.
long chipNumber(const char* entry) {
    constexpr std::size_t kPrefix = sizeof "gpiochip" - 1;
    if (std::strncmp(entry, "gpiochip", kPrefix) != 0 || !settings::isDigits(entry + kPrefix)) {
        return -1;
    }
    errno = 0;
    const unsigned long number = std::strtoul(entry + kPrefix, nullptr, 10);
    return errno == 0 && number <= INT32_MAX ? static_cast<long>(number) : -1;
}

// The least chip number in /dev above `above`, or -1 when there is none.
long nextChip(long above) {
    DIR* dev = opendir("/dev");
    if (dev == nullptr) {
        return -1;
    }
    long next = -1;
    for (const dirent* entry = readdir(dev); entry != nullptr; entry = readdir(dev)) {
        const long number = chipNumber(entry->d_name);
        if (number > above && (next < 0 || number < next)) {
            next = number;
        }
    }
    closedir(dev);
    return next;
}

// The /dev/gpiochip* that exist, for a hint: "gpiochip0 gpiochip1", as many as fit, or "none".
void listChips(char* out, std::size_t size) {
    out[0] = '\0';
    std::size_t used = 0;
    for (long chip = nextChip(-1); chip >= 0; chip = nextChip(chip)) {
        const int wrote =
            std::snprintf(out + used, size - used, "%sgpiochip%ld", used == 0 ? "" : " ", chip);
        if (wrote < 0 || static_cast<std::size_t>(wrote) >= size - used) {
            out[used] = '\0';
            break;
        }
        used += static_cast<std::size_t>(wrote);
    }
    if (used == 0) {
        std::snprintf(out, size, "none");
    }
}

// Opens the chip the settings name: a path, or a label (or name) that a chip answers with, the
// lowest-numbered where several do. Every chip in /dev is asked, however late it came.
int openChip() {
    if (std::strchr(chipSetting, '/') != nullptr) {
        std::snprintf(chipPath, sizeof chipPath, "%s", chipSetting);
        const int chip = open(chipPath, O_RDWR | O_CLOEXEC);
        if (chip < 0) {
            const int error = errno;
            char chips[kTextSize];
            listChips(chips, sizeof chips);
            if (error == EACCES || error == EPERM) {
                std::snprintf(hint, sizeof hint,
                              "\nNo right to %s: add the user to the group gpio (usermod -aG gpio "
                              "USER) and log in again; see man quorvane_gpio for the udev rule",
                              chipPath);
            } else if (error == ENOENT) {
                std::snprintf(hint, sizeof hint,
                              "\nNo GPIO chip %s: the chips here are %s (ls -l /dev/gpiochip*); "
                              "choose one with %s=chip=...",
                              chipPath, chips, kVariable);
            } else {
                std::snprintf(hint, sizeof hint,
                              "\n%s is there but does not open (%s): a USB adapter unplugged, or "
                              "its driver failed; see dmesg",
                              chipPath, std::strerror(error));
            }
            return refuse(error);
        }
        return chip;
    }
    int deniedError = 0;
    bool failed = false;
    int found = -1;
    for (long number = nextChip(-1); number >= 0 && found < 0; number = nextChip(number)) {
        char path[sizeof "/dev/gpiochip-9223372036854775808"];  // room for any long
        std::snprintf(path, sizeof path, "/dev/gpiochip%ld", number);
        const int chip = open(path, O_RDWR | O_CLOEXEC);
        if (chip < 0) {
            deniedError = errno == EACCES || errno == EPERM ? errno : deniedError;
            failed = failed || (errno != EACCES && errno != EPERM && errno != ENOENT);
            continue;
        }
        gpiochip_info info{};
        if (ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info) == 0 &&
            (std::strncmp(info.label, chipSetting, sizeof info.label) == 0 ||
             std::strncmp(info.name, chipSetting, sizeof info.name) == 0)) {
            std::snprintf(chipPath, sizeof chipPath, "%s", path);
            found = chip;
        } else {
            close(chip);
        }
    }
    if (found >= 0) {
        return found;
    }
    char chips[kTextSize];
    listChips(chips, sizeof chips);
    std::snprintf(hint, sizeof hint,
                  "\nNo GPIO chip labelled %s among %s%s%s (gpiodetect shows the labels); choose "
                  "one with %s=chip=...",
                  chipSetting, chips,
                  deniedError != 0 ? ", some of them not open to this user" : "",
                  failed ? ", some of them failing (see dmesg)" : "", kVariable);
    return refuse(ENOENT);
}

// The offset of a line setting on the open chip; a name the chip does not have ends the program.
unsigned int lineOffset(int chip, unsigned int chipLines, const char* setting, const char* role) {
    if (settings::isDigits(setting)) {
        return static_cast<unsigned int>(std::strtoul(setting, nullptr, 10));
    }
    for (unsigned int offset = 0; offset < chipLines; ++offset) {
        gpio_v2_line_info info{};
        info.offset = offset;
        if (ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 &&
            std::strncmp(info.name, setting, sizeof info.name) == 0) {
            return offset;
        }
    }
    std::fprintf(stderr, "%s: %s: bad setting '%s=%s': %s has no line named %s\n",
                 program_invocation_short_name, kVariable, role, setting, chipPath, setting);
    std::exit(kBadSettingStatus);
}

// Who holds a line, for the hint of a refused request.
void holderOf(int chip, unsigned int offset, char* out, std::size_t size) {
    gpio_v2_line_info info{};
    info.offset = offset;
    if (ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 &&
        (info.flags & GPIO_V2_LINE_FLAG_USED) != 0) {
        std::snprintf(out, size, "line %u is held by \"%.*s\"", offset,
                      static_cast<int>(sizeof info.consumer), info.consumer);
    } else {
        out[0] = '\0';
    }
}

// Both lines open drain with the pull-up, released; SDA an input instead when asked.
void configureLines(gpio_v2_line_config* config, bool sdaAsInput) {
    *config = gpio_v2_line_config{};
    config->flags =
        GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
    config->num_attrs = 1;
    config->attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    config->attrs[0].attr.values = (sdaReleased ? kSdaBit : 0) | (sclReleased ? kSclBit : 0);
    config->attrs[0].mask = kSdaBit | kSclBit;
    if (sdaAsInput) {
        config->num_attrs = 2;
        config->attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
        config->attrs[1].attr.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
        config->attrs[1].mask = kSdaBit;
    }
}

int requestLines(int chip) {
    gpiochip_info info{};
    if (ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
        const int error = errno;
        std::snprintf(hint, sizeof hint, "\n%s does not answer as a GPIO chip: see dmesg",
                      chipPath);
        return refuse(error);
    }
    sdaOffset = lineOffset(chip, info.lines, sdaSetting, "sda");
    sclOffset = lineOffset(chip, info.lines, sclSetting, "scl");
    if (sdaOffset == sclOffset) {
        std::fprintf(stderr, "%s: %s: sda and scl are both line %u of %s; they must be two lines\n",
                     program_invocation_short_name, kVariable, sdaOffset, chipPath);
        std::exit(kBadSettingStatus);
    }
    if (sdaOffset >= info.lines || sclOffset >= info.lines) {
        std::snprintf(hint, sizeof hint,
                      "\nLine %u is beyond %s, which has lines 0 to %u: choose others with "
                      "%s=sda=...;scl=...",
                      sdaOffset >= info.lines ? sdaOffset : sclOffset, chipPath,
                      info.lines == 0 ? 0 : info.lines - 1, kVariable);
        return refuse(EINVAL);
    }
    gpio_v2_line_request request{};
    request.offsets[0] = sdaOffset;
    request.offsets[1] = sclOffset;
    request.num_lines = 2;
    std::snprintf(request.consumer, sizeof request.consumer, "quorvane");
    sdaReleased = true;
    sclReleased = true;
    configureLines(&request.config, false);
    if (ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        const int error = errno;
        if (error == EBUSY) {
            char sda[kHolderSize];
            char scl[kHolderSize];
            holderOf(chip, sdaOffset, sda, sizeof sda);
            holderOf(chip, sclOffset, scl, sizeof scl);
            std::snprintf(hint, sizeof hint,
                          "\nLine %u or %u of %s is taken%s%s%s%s: on a Raspberry Pi with I2C on, "
                          "lines 2 and 3 belong to I2C; run quorvane_i2c on the same wiring, "
                          "switch I2C off (raspi-config, or dtparam=i2c_arm=off) or choose other "
                          "lines with %s=sda=...;scl=...",
                          sdaOffset, sclOffset, chipPath, sda[0] != '\0' ? ": " : "", sda,
                          sda[0] != '\0' && scl[0] != '\0' ? ", " : (scl[0] != '\0' ? ": " : ""),
                          scl, kVariable);
        } else {
            std::snprintf(hint, sizeof hint, "\n%s refused lines %u and %u: see dmesg", chipPath,
                          sdaOffset, sclOffset);
        }
        return refuse(error);
    }
    lines = request.fd;
    return 0;
}

// --- The lines themselves, below the registers.

// Gives the kernel the levels of the lines in `mask`; false when it failed.
bool setLines(std::uint64_t mask) {
    gpio_v2_line_values values{};
    values.bits = (sdaReleased ? kSdaBit : 0) | (sclReleased ? kSclBit : 0);
    values.mask = mask;
    return ioctl(lines, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) == 0;
}

// The level of one line: 1 high, 0 low, -1 when the kernel failed.
int readLine(std::uint64_t bit) {
    gpio_v2_line_values values{};
    values.mask = bit;
    if (ioctl(lines, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0) {
        return -1;
    }
    return (values.bits & bit) != 0 ? 1 : 0;
}

// Changes a line and waits its millisecond, as a line operation of the bus does.
void driveLine(std::uint64_t bit, bool released) {
    (bit == kSdaBit ? sdaReleased : sclReleased) = released;
    static_cast<void>(setLines(bit));
    accessSeen();
    oweTime(kNanosPerMilli);
    awaitDue();
}

// --- The wiring check, before the first measurement.

void describeLine(std::uint64_t bit, char* out, std::size_t size) {
    std::snprintf(out, size, "%s (line %u of %s)", bit == kSdaBit ? "SDA" : "SCL",
                  bit == kSdaBit ? sdaOffset : sclOffset, chipPath);
}

// A line must read low while pulled low and high within a millisecond of its release.
int checkLine(std::uint64_t bit) {
    driveLine(bit, false);
    const int low = readLine(bit);
    driveLine(bit, true);
    int level = readLine(bit);
    const std::int64_t deadline = monotonicNanos() + kRiseWithin;
    while (level == 0 && monotonicNanos() < deadline) {
        level = readLine(bit);
    }
    if (low < 0 || level < 0) {
        const int error = errno;
        std::snprintf(hint, sizeof hint, "\n%s failed while the lines were checked: see dmesg",
                      chipPath);
        return refuse(error);
    }
    if (low == 1 || level == 0) {
        char line[kLineTextSize];
        describeLine(bit, line, sizeof line);
        std::snprintf(hint, sizeof hint,
                      low == 1 ? "\n%s stays high when pulled low: it is tied to 3.3 V or wired "
                                 "to something that drives it; free it, or choose another line"
                               : "\n%s does not rise when released: it has no pull-up or is "
                                 "shorted to ground; wire 4.7 kOhm from it to 3.3 V, or check it",
                      line);
        return refuse(ENOLINK);
    }
    return 0;
}

// Addresses the thermometer and reads its acknowledge twice: through the open-drain output, then
// with SDA switched to an input. Gives 1 for each read that saw it, as bits (output 1, input 2).
int probeAcknowledge() {
    driveLine(kSdaBit, false);  // start condition
    driveLine(kSclBit, false);
    for (int bit = 7; bit >= 0; --bit) {
        driveLine(kSdaBit, ((kProbeAddress >> bit) & 1U) != 0);
        driveLine(kSclBit, true);
        driveLine(kSclBit, false);
    }
    driveLine(kSdaBit, true);
    driveLine(kSclBit, true);
    int seen = readLine(kSdaBit) == 0 ? 1 : 0;
    gpio_v2_line_config config{};
    configureLines(&config, true);
    if (ioctl(lines, GPIO_V2_LINE_SET_CONFIG_IOCTL, &config) == 0) {
        seen |= readLine(kSdaBit) == 0 ? 2 : 0;
        configureLines(&config, false);
        static_cast<void>(ioctl(lines, GPIO_V2_LINE_SET_CONFIG_IOCTL, &config));
    }
    driveLine(kSclBit, false);
    driveLine(kSdaBit, false);  // stop condition
    driveLine(kSclBit, true);
    driveLine(kSdaBit, true);
    return seen;
}

int checkWiring() {
    // A chip killed in the middle of a byte may hold SDA low until it is clocked out of it.
    for (int pulse = 0; pulse < kBusFreePulses && readLine(kSdaBit) == 0; ++pulse) {
        driveLine(kSclBit, false);
        driveLine(kSclBit, true);
    }
    if (checkLine(kSdaBit) != 0 || checkLine(kSclBit) != 0) {
        return -1;
    }
    // A line that reads back its own latch agrees with it while only this program drives it;
    // the chip's acknowledge shows the difference. No acknowledge at all is an absent chip,
    // which measuring reports.
    if (probeAcknowledge() == 2) {
        char line[kLineTextSize];
        describeLine(kSdaBit, line, sizeof line);
        std::snprintf(hint, sizeof hint,
                      "\n%s reads back what is written to it, not the line, so the "
                      "thermometer's answers cannot be seen: choose another line for SDA",
                      line);
        return refuse(EOPNOTSUPP);
    }
    return 0;
}

}  // namespace

// The device behind the grant (bus/port_grant.h): the request of both lines, checked against
// the wiring when it is made; the port's latches start as on an idle bus.
bool deviceOpen() {
    return lines >= 0;
}

void closeDevice() {
    if (lines >= 0) {
        close(lines);
    }
    lines = -1;
}

int openDevice() {
    hintFor = 0;
    readSettings();
    const int chip = openChip();
    if (chip < 0) {
        return -1;
    }
    startPacing();
    const int requested = requestLines(chip);
    close(chip);  // the lines stay requested through their own file
    if (requested != 0 || checkWiring() != 0) {
        const int error = errno;
        closeDevice();
        errno = error;
        return -1;
    }
    dataLatch = kClock;
    controlLatch = 0;
    return 0;
}

namespace {

// The register offset of a granted address. Any other address is a fault in the program (the raw
// port would crash on it), so it ends the program with a message.
unsigned long offsetOf(unsigned short address) {
    if (lines < 0 || address < grantedBase || address - grantedBase >= grantedCount) {
        std::fprintf(stderr, "quorvane_gpio: port address 0x%04X used without the lines granted\n",
                     static_cast<unsigned>(address));
        std::abort();
    }
    return address - grantedBase;
}

}  // namespace

const char* AccessHint(int error) {
    return error != 0 && error == hintFor ? hint : "";
}

unsigned char Input(unsigned short address) {
    const unsigned long offset = offsetOf(address);
    if (offset == 0) {
        oweTime(kNanosPerRead);
        return dataLatch;
    }
    if (offset == 2) {
        return controlLatch;
    }
    awaitDue();
    const int sda = readLine(kSdaBit);
    accessSeen();
    if (sda < 0) {
        // The adapter went away (ENODEV): the cycle is failed as a whole, since this level could
        // pass for a bit the chip sent.
        markAccessFailed();
        return kUndriven;
    }
    return sda == 0 ? kDataLow : 0;
}

void Output(unsigned short address, unsigned char value) {
    const unsigned long offset = offsetOf(address);
    if (offset == 1) {
        return;  // the status register is read only, as on the port itself
    }
    unsigned char& latch = offset == 0 ? dataLatch : controlLatch;
    latch = value;
    const bool sclHigh = (dataLatch & kClock) != 0;
    const bool sdaHigh = (controlLatch & kPullData) == 0;
    std::uint64_t changed = 0;
    if (sclHigh != sclReleased) {
        changed |= kSclBit;
    }
    if (sdaHigh != sdaReleased) {
        changed |= kSdaBit;
    }
    if (changed == 0) {
        return;
    }
    const bool wasScl = sclReleased;
    const bool wasSda = sdaReleased;
    sclReleased = sclHigh;
    sdaReleased = sdaHigh;
    awaitDue();
    const bool set = setLines(changed);
    accessSeen();
    if (!set) {
        // Nothing changed: the next write tries again, and this cycle fails.
        sclReleased = wasScl;
        sdaReleased = wasSda;
        markAccessFailed();
    }
}
