#include "kit/fake_i2c.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "kit/fake_kernel.h"

namespace quorvane::testkit {

namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t kData = sim::ParallelPort::kDefaultBase;
constexpr std::uint16_t kControl = kData + 2;
// The board powers the chip and wires its address pins to 1 0 1 (0x4d); SCL is bit 0x80.
constexpr std::uint8_t kPoweredAndAddressed = 0x57;
constexpr std::uint8_t kScl = 0x80;
constexpr std::uint8_t kPullSda = 0x08;
constexpr int kLowestAddress = 0x48;
constexpr int kHighestAddress = 0x4F;
constexpr const char* kDevicePrefix = "/dev/i2c-";
// The bus at 100 kHz: nine clocks a byte, and about one for each start and stop condition.
constexpr sim::Micros kMicrosPerByte = 90;
constexpr sim::Micros kMicrosPerCondition = 10;

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// The adapter as i2c-dev and the kernel's SMBus core present it, with the simulated chip on its
// bus, reached byte by byte as the adapter's own transfers reach it.
class FakeAdapter : public FakeDevice {
  public:
    explicit FakeAdapter(const FakeI2c::Settings& settings)
        : FakeDevice(settings.celsius, settings.realSleep, settings.journal),
          settings_(settings),
          bus_(settings.bus) {
        sim::Simulation& world = simulation();
        world.setDevicePresent(settings_.chipPresent);
        world.requestPortAccess(kData, 3, 1);
        world.output(kData, kScl | kPoweredAndAddressed);
        world.output(kControl, static_cast<std::uint8_t>(world.controlLatch() & ~kPullSda));
        if (settings_.chipAddress != 0) {
            world.strapAddress(static_cast<std::uint8_t>(settings_.chipAddress & 7));
        }
        makeSysfs();
    }

    bool serves(const char* path) const override {
        return path != nullptr && std::string_view(path).starts_with(kDevicePrefix);
    }
    bool owns(int fd) const override { return fd >= 0 && fd == fd_; }

    std::string fileInWorld(const char* path) const override {
        if (settings_.root.empty()) {
            return {};
        }
        const std::string_view wanted(path);
        for (const std::string_view served : {"/sys/bus/i2c", "/run/lock"}) {
            if (wanted.starts_with(served) &&
                (wanted.size() == served.size() || wanted[served.size()] == '/')) {
                return settings_.root + std::string(wanted);
            }
        }
        return {};
    }

    int open(const char* path, int flags) override {
        const std::string device = kDevicePrefix + std::to_string(bus_);
        const int error = settings_.openErrno != 0       ? settings_.openErrno
                          : device != path || unplugged_ ? ENOENT
                          : fd_ >= 0                     ? EBUSY  // one open file is all tests need
                                                         : 0;
        if (error != 0) {
            note("refused open " + std::string(path) + " " + std::to_string(error));
            errno = error;
            return -1;
        }
        note("open " + device);
        // A real descriptor stands for the device, so that no other file gets its number.
        fd_ = libcFunction<OpenFunction>("open")("/dev/null", O_RDWR | (flags & O_CLOEXEC));
        slave_ = -1;
        return fd_;
    }

    int close(int fd) override {
        note("close");
        fd_ = -1;
        if (unplugged_) {
            plugInAgain();
        }
        return libcFunction<CloseFunction>("close")(fd);
    }

    int ioctl(int /*fd*/, unsigned long request, void* argument) override {
        ++ioctls_;
        switch (request) {
            case I2C_FUNCS:
                note("funcs");
                *static_cast<unsigned long*>(argument) = settings_.functions;
                return 0;
            case I2C_SLAVE:
                // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): passed by value
                return bind(static_cast<int>(reinterpret_cast<std::uintptr_t>(argument)));
            case I2C_SMBUS:
                return smbus(*static_cast<i2c_smbus_ioctl_data*>(argument));
            default:
                break;
        }
        note("unknown request " + hex(static_cast<unsigned>(request), 4));
        errno = EINVAL;
        return -1;
    }

    std::uint64_t ioctls() const { return ioctls_; }

  private:
    // The adapter's directory in sysfs, and the driver bound to the chip with its reading.
    void makeSysfs() const {
        if (settings_.root.empty()) {
            return;
        }
        const fs::path devices = fs::path(settings_.root) / "sys/bus/i2c/devices";
        fs::create_directories(devices / ("i2c-" + std::to_string(bus_)));
        fs::create_directories(fs::path(settings_.root) / "run/lock");
        std::ofstream(devices / ("i2c-" + std::to_string(bus_)) / "name") << settings_.name << '\n';
        if (settings_.driver.empty()) {
            return;
        }
        char chip[32];
        std::snprintf(chip, sizeof chip, "%d-%04x", bus_, static_cast<unsigned>(chipAddress()));
        const fs::path drivers =
            fs::path(settings_.root) / "sys/bus/i2c/drivers" / settings_.driver;
        fs::create_directories(drivers);
        fs::create_directories(devices / chip / "hwmon/hwmon3");
        std::error_code exists;
        fs::create_directory_symlink("../../../../bus/i2c/drivers/" + settings_.driver,
                                     devices / chip / "driver", exists);
        std::ofstream(devices / chip / "hwmon/hwmon3/temp1_input") << "21500\n";
    }

    // The chip a driver is bound to: at 0x4d where every address answers.
    int chipAddress() const { return settings_.chipAddress != 0 ? settings_.chipAddress : 0x4D; }

    int bind(int address) {
        const bool held = !settings_.driver.empty() && address == chipAddress();
        if (held || address < 0 || address > 0x7F) {
            note("refused slave " + hex(static_cast<unsigned>(address), 2) + " " +
                 (held ? "16" : "22"));
            errno = held ? EBUSY : EINVAL;
            return -1;
        }
        note("slave " + hex(static_cast<unsigned>(address), 2));
        slave_ = address;
        if (settings_.chipAddress == 0 && address >= kLowestAddress && address <= kHighestAddress) {
            simulation().strapAddress(static_cast<std::uint8_t>(address & 7));
        }
        return 0;
    }

    int smbus(i2c_smbus_ioctl_data& call) {
        ++calls_;
        const bool read = call.read_write == I2C_SMBUS_READ;
        std::string entry = read ? "read" : "write";
        entry += call.size == I2C_SMBUS_BYTE        ? "-byte"
                 : call.size == I2C_SMBUS_BYTE_DATA ? "-byte-data"
                 : call.size == I2C_SMBUS_WORD_DATA ? "-word-data"
                                                    : "-size-" + std::to_string(call.size);
        entry += " " + hex(call.command, 2);
        if (!read && call.size == I2C_SMBUS_BYTE_DATA) {
            entry += " " + hex(call.data->byte, 2);
        }
        const int error = transfer(call);
        if (error != 0) {
            note(entry + " failed " + std::to_string(error));
            errno = error;
            return -1;
        }
        if (read) {
            entry += call.size == I2C_SMBUS_WORD_DATA ? " = " + hex(call.data->word, 4)
                                                      : " = " + hex(call.data->byte, 2);
        }
        note(entry);
        return 0;
    }

    // One SMBus call on the bus: 0, or the errno it fails with.
    int transfer(i2c_smbus_ioctl_data& call) {
        if (settings_.unplugAt != 0 && calls_ >= settings_.unplugAt && !unplugged_ &&
            !pluggedAgain_) {
            unplugged_ = true;
            note("unplugged");
        }
        if (unplugged_) {
            return ENODEV;
        }
        const bool read = call.read_write == I2C_SMBUS_READ;
        const bool word = call.size == I2C_SMBUS_WORD_DATA;
        // The cycle's calls are send byte, byte data and read word data, once bound to a chip.
        if ((call.size == I2C_SMBUS_BYTE && read) ||
            (call.size != I2C_SMBUS_BYTE && call.size != I2C_SMBUS_BYTE_DATA && !word) ||
            slave_ < 0) {
            return EINVAL;
        }
        // S addr cmd [data] P, or S addr cmd Sr addr data [data] P.
        const sim::Micros bytes =
            2 + (call.size == I2C_SMBUS_BYTE_DATA && !read ? 1 : 0) + (read ? (word ? 3 : 2) : 0);
        const sim::Micros busTime = bytes * kMicrosPerByte + (read ? 3 : 2) * kMicrosPerCondition;
        pass(busTime);
        if (settings_.phantom) {
            if (read) {
                call.data->word = 0xFFFF;  // covers the byte too
            }
            return 0;
        }
        sim::BusTarget* chip = simulation().chipAtByteLevel();
        const auto writeAddress = static_cast<std::uint8_t>(slave_ << 1);
        bool acknowledged = chip != nullptr;
        if (acknowledged) {
            chip->start();
            acknowledged = chip->address(writeAddress) && chip->write(call.command);
        }
        if (acknowledged && !read && call.size == I2C_SMBUS_BYTE_DATA) {
            acknowledged = chip->write(call.data->byte);
        }
        if (acknowledged && read) {
            chip->start();
            acknowledged = chip->address(static_cast<std::uint8_t>(writeAddress | 1));
            if (acknowledged) {
                const unsigned first = chip->read();
                const unsigned second = word ? chip->read() : 0;
                call.data->word = static_cast<std::uint16_t>(first | (second << 8U));
            }
        }
        if (chip != nullptr) {
            chip->stop();
        }
        return acknowledged ? 0 : ENXIO;
    }

    // The chip's time passes by as many port accesses, a microsecond each.
    void pass(sim::Micros micros) {
        for (sim::Micros t = 0; t < micros; ++t) {
            static_cast<void>(simulation().input(kData));
        }
    }

    // The adapter comes back under the next number; the chip lost its supply meanwhile.
    void plugInAgain() {
        unplugged_ = false;
        pluggedAgain_ = true;
        const int before = bus_;
        ++bus_;
        if (!settings_.root.empty()) {
            const fs::path devices = fs::path(settings_.root) / "sys/bus/i2c/devices";
            std::error_code moved;
            fs::rename(devices / ("i2c-" + std::to_string(before)),
                       devices / ("i2c-" + std::to_string(bus_)), moved);
        }
        simulation().setDevicePresent(false);
        simulation().setDevicePresent(settings_.chipPresent);
        note("plugged in again as " + std::string(kDevicePrefix) + std::to_string(bus_));
    }

    FakeI2c::Settings settings_;
    int bus_;
    int fd_ = -1;
    int slave_ = -1;
    bool unplugged_ = false;
    bool pluggedAgain_ = false;
    std::uint64_t calls_ = 0;
    std::uint64_t ioctls_ = 0;
};

FakeAdapter& adapter() {
    return static_cast<FakeAdapter&>(fakeDevice());
}

}  // namespace

std::unique_ptr<FakeDevice> deviceFromEnvironment() {
    return deviceWithSettingsFromEnvironment<FakeAdapter, FakeI2c>();
}

void FakeI2c::restart(const Settings& settings) {
    replaceFakeDevice(std::make_unique<FakeAdapter>(settings));
}

sim::Simulation& FakeI2c::simulation() {
    return adapter().simulation();
}

std::vector<std::string> FakeI2c::journal() {
    return adapter().journal();
}

std::uint64_t FakeI2c::ioctls() {
    return adapter().ioctls();
}

}  // namespace quorvane::testkit
