#include "kit/fake_gpiochip.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "kit/fake_kernel.h"

namespace quorvane::testkit {

namespace {

constexpr std::uint16_t kData = sim::ParallelPort::kDefaultBase;
constexpr std::uint16_t kControl = kData + 2;
// The board powers the chip and wires its address pins to 1 0 1; SCL is bit 0x80.
constexpr std::uint8_t kPoweredAndAddressed = 0x57;
constexpr std::uint8_t kScl = 0x80;
constexpr std::uint8_t kPullSda = 0x08;

// One requested line as the kernel keeps it.
struct Line {
    unsigned int offset = 0;
    std::uint64_t flags = 0;
    bool value = true;  // the output value
    bool output() const { return (flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0; }
    bool openDrain() const { return (flags & GPIO_V2_LINE_FLAG_OPEN_DRAIN) != 0; }
};

std::string flagsText(const Line& line) {
    std::string text = std::to_string(line.offset) + ":";
    text += line.output() ? "output" : "input";
    if (line.output()) {
        text += line.openDrain() ? ",open-drain" : ",push-pull";
    }
    if ((line.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_UP) != 0) {
        text += ",pull-up";
    }
    if (line.output()) {
        text += line.value ? "=1" : "=0";
    }
    return text;
}

// The chip as the kernel's GPIO character device presents it, and the world's time behind it.
class FakeChip : public FakeDevice {
  public:
    explicit FakeChip(const FakeGpiochip::Settings& settings)
        : FakeDevice(settings.celsius, settings.realSleep, settings.journal), settings_(settings) {
        sim::Simulation& world = simulation();
        world.setDevicePresent(settings_.chipPresent);
        world.requestPortAccess(kData, 3, 1);
        world.output(kData, kScl | kPoweredAndAddressed);
        world.output(kControl, static_cast<std::uint8_t>(world.controlLatch() & ~kPullSda));
        watchBus();
    }

    bool serves(const char* path) const override {
        return path != nullptr && settings_.device == path;
    }
    bool owns(int fd) const override { return fd >= 0 && (fd == chipFd_ || fd == linesFd_); }

    // A reading of /dev begins, and a reading of any directory ends.
    void directoryOpened(const char* path, DIR* dir) override {
        if (std::strcmp(path, "/dev") == 0) {
            listing_ = dir;
            listed_ = false;
        }
    }
    void closing(const DIR* dir) { listing_ = dir == listing_ ? nullptr : listing_; }
    // The entry that readdir gave from `dir`: at the end of /dev's, the chip's own, once, unless
    // the device is not in /dev, is missing, or was there already.
    dirent* listed(const DIR* dir, dirent* entry) {
        const std::string prefix = "/dev/";
        const std::string name = settings_.device.substr(prefix.size());
        if (dir != listing_ || listed_ || !settings_.device.starts_with(prefix) ||
            settings_.openErrno == ENOENT) {
            return entry;
        }
        if (entry != nullptr) {
            listed_ = name == entry->d_name;
            return entry;
        }
        listed_ = true;
        entry_ = dirent{};
        entry_.d_type = DT_CHR;
        std::snprintf(entry_.d_name, sizeof entry_.d_name, "%s", name.c_str());
        return &entry_;
    }

    int open(const char* /*path*/, int flags) override {
        note("open");
        if (settings_.openErrno != 0) {
            errno = settings_.openErrno;
            return -1;
        }
        if (chipFd_ >= 0) {
            errno = EMFILE;  // one open chip is all the tests need
            return -1;
        }
        // A real descriptor stands for the chip, so that no other file gets its number.
        chipFd_ = libcFunction<OpenFunction>("open")("/dev/null", O_RDWR | (flags & O_CLOEXEC));
        return chipFd_;
    }

    int close(int fd) override {
        note("close");
        if (fd == linesFd_) {
            linesFd_ = -1;  // the lines are released: nothing drives them any more
            lines_.clear();
            drive();
        } else {
            chipFd_ = -1;
        }
        return libcFunction<CloseFunction>("close")(fd);
    }

    int ioctl(int fd, unsigned long request, void* argument) override {
        if (fd == chipFd_) {
            return chipIoctl(request, argument);
        }
        ++lineIoctls_;
        if (failsNow()) {
            if (!failing_) {
                note("line ioctl failed " + std::to_string(failErrno()));
            }
            failing_ = true;
            errno = failErrno();
            return -1;
        }
        failing_ = false;
        switch (request) {
            case GPIO_V2_LINE_SET_VALUES_IOCTL:
                return setValues(*static_cast<gpio_v2_line_values*>(argument));
            case GPIO_V2_LINE_GET_VALUES_IOCTL:
                return getValues(*static_cast<gpio_v2_line_values*>(argument));
            case GPIO_V2_LINE_SET_CONFIG_IOCTL:
                return setConfig(*static_cast<gpio_v2_line_config*>(argument));
            default:
                return refuse("line request " + std::to_string(request), EINVAL);
        }
    }

  private:
    int chipIoctl(unsigned long request, void* argument) {
        switch (request) {
            case GPIO_GET_CHIPINFO_IOCTL: {
                note("chipinfo");
                auto& info = *static_cast<gpiochip_info*>(argument);
                info = gpiochip_info{};
                std::snprintf(info.name, sizeof info.name, "gpiochip0");
                std::snprintf(info.label, sizeof info.label, "%s", settings_.label.c_str());
                info.lines = static_cast<std::uint32_t>(settings_.lines);
                return 0;
            }
            case GPIO_V2_GET_LINEINFO_IOCTL:
                return lineInfo(*static_cast<gpio_v2_line_info*>(argument));
            case GPIO_V2_GET_LINE_IOCTL:
                return requestLines(*static_cast<gpio_v2_line_request*>(argument));
            default:
                return refuse("chip request " + std::to_string(request), EINVAL);
        }
    }

    int lineInfo(gpio_v2_line_info& info) {
        const unsigned int offset = info.offset;
        note("lineinfo " + std::to_string(offset));
        if (offset >= static_cast<unsigned int>(settings_.lines)) {
            return refuse("lineinfo", EINVAL);
        }
        info = gpio_v2_line_info{};
        info.offset = offset;
        std::snprintf(info.name, sizeof info.name, "GPIO%u", offset);
        if (static_cast<int>(offset) == settings_.heldLine) {
            info.flags = GPIO_V2_LINE_FLAG_USED;
            std::snprintf(info.consumer, sizeof info.consumer, "i2c");
        } else if (find(offset) != nullptr) {
            info.flags = GPIO_V2_LINE_FLAG_USED | find(offset)->flags;
            std::snprintf(info.consumer, sizeof info.consumer, "%s", consumer_.c_str());
        }
        return 0;
    }

    int requestLines(gpio_v2_line_request& request) {
        if (linesFd_ >= 0 || request.num_lines == 0 || request.num_lines > GPIO_V2_LINES_MAX) {
            return refuse("request", linesFd_ >= 0 ? EBUSY : EINVAL);
        }
        std::vector<Line> lines;
        for (std::uint32_t i = 0; i < request.num_lines; ++i) {
            const unsigned int offset = request.offsets[i];
            if (offset >= static_cast<unsigned int>(settings_.lines)) {
                return refuse("request", EINVAL);
            }
            if (static_cast<int>(offset) == settings_.heldLine) {
                return refuse("request", EBUSY);
            }
            lines.push_back(Line{offset, 0, false});
        }
        if (!configure(request.config, lines)) {
            return refuse("request", EINVAL);
        }
        lines_ = lines;
        consumer_ =
            std::string(request.consumer, strnlen(request.consumer, sizeof request.consumer));
        std::string entry = "request";
        for (const Line& line : lines_) {
            entry += (&line == lines_.data() ? " " : ",") + std::to_string(line.offset);
        }
        entry += " consumer=" + consumer_;
        for (const Line& line : lines_) {
            entry += " " + flagsText(line);
        }
        note(entry);
        linesFd_ = libcFunction<OpenFunction>("open")("/dev/null", O_RDWR | O_CLOEXEC);
        request.fd = linesFd_;
        drive();
        return 0;
    }

    // Applies a configuration to `lines`, as the kernel validates it; false when it is invalid.
    static bool configure(const gpio_v2_line_config& config, std::vector<Line>& lines) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::uint64_t bit = std::uint64_t{1} << i;
            std::uint64_t flags = config.flags;
            std::optional<bool> value;
            for (std::uint32_t a = 0; a < config.num_attrs && a < GPIO_V2_LINE_NUM_ATTRS_MAX; ++a) {
                const gpio_v2_line_config_attribute& attribute = config.attrs[a];
                if ((attribute.mask & bit) == 0) {
                    continue;
                }
                if (attribute.attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS) {
                    flags = attribute.attr.flags;
                } else if (attribute.attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES) {
                    value = (attribute.attr.values & bit) != 0;
                }
            }
            const bool output = (flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
            const bool input = (flags & GPIO_V2_LINE_FLAG_INPUT) != 0;
            if (output == input || (!output && (flags & GPIO_V2_LINE_FLAG_OPEN_DRAIN) != 0)) {
                return false;
            }
            lines[i].flags = flags;
            // The kernel sets an output to its value in the attribute, or to 0 without one.
            lines[i].value = output && value.value_or(false);
        }
        return true;
    }

    int setConfig(const gpio_v2_line_config& config) {
        std::vector<Line> lines = lines_;
        if (!configure(config, lines)) {
            return refuse("config", EINVAL);
        }
        lines_ = lines;
        std::string entry = "config";
        for (const Line& line : lines_) {
            entry += " " + flagsText(line);
        }
        note(entry);
        drive();
        return 0;
    }

    int setValues(const gpio_v2_line_values& values) {
        std::string entry = "set";
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            if ((values.mask & (std::uint64_t{1} << i)) != 0 && lines_[i].output()) {
                lines_[i].value = (values.bits & (std::uint64_t{1} << i)) != 0;
                entry += " " + std::to_string(lines_[i].offset) + (lines_[i].value ? "=1" : "=0");
            }
        }
        note(entry);
        drive();
        return 0;
    }

    int getValues(gpio_v2_line_values& values) {
        std::string entry = "get";
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const std::uint64_t bit = std::uint64_t{1} << i;
            if ((values.mask & bit) != 0) {
                entry += " " + std::to_string(lines_[i].offset);
                bits |= level(lines_[i]) ? bit : 0;
            }
        }
        values.bits = bits;
        note(entry);
        return 0;
    }

    const Line* find(unsigned int offset) const {
        const auto it = std::find_if(lines_.begin(), lines_.end(),
                                     [offset](const Line& l) { return l.offset == offset; });
        return it == lines_.end() ? nullptr : &*it;
    }

    static bool pullsLow(const Line* line) {
        return line != nullptr && line->output() && !line->value;
    }

    // What a read of the line gives.
    bool level(const Line& line) const {
        if (static_cast<int>(line.offset) == settings_.latchOnly && line.output()) {
            return line.value;
        }
        if (static_cast<int>(line.offset) == settings_.noPullUp) {
            return false;  // nothing raises it
        }
        if (static_cast<int>(line.offset) == settings_.sda) {
            return simulation().lineState().sda;
        }
        if (static_cast<int>(line.offset) == settings_.scl) {
            return simulation().lineState().scl;
        }
        return !pullsLow(&line);
    }

    // The wired lines onto the adapter's registers.
    void drive() {
        const Line* sda = find(static_cast<unsigned int>(settings_.sda));
        const Line* scl = find(static_cast<unsigned int>(settings_.scl));
        for (const Line* line : {sda, scl}) {
            if (line != nullptr && line->output() && !line->openDrain() && line->value) {
                note("push-pull high on " + std::to_string(line->offset));
            }
        }
        const auto data =
            static_cast<std::uint8_t>(kPoweredAndAddressed | (pullsLow(scl) ? 0 : kScl));
        const std::uint8_t latch = simulation().controlLatch();
        const auto control =
            static_cast<std::uint8_t>(pullsLow(sda) ? latch | kPullSda : latch & ~kPullSda);
        simulation().output(kData, data);
        simulation().output(kControl, control);
    }

    int failErrno() const { return settings_.failErrno != 0 ? settings_.failErrno : ENODEV; }

    bool failsNow() const {
        return settings_.failCount != 0 && lineIoctls_ >= settings_.failFrom &&
               lineIoctls_ - settings_.failFrom < settings_.failCount;
    }

    int refuse(const std::string& what, int error) {
        note("refused " + what + " " + std::to_string(error));
        errno = error;
        return -1;
    }

    FakeGpiochip::Settings settings_;
    int chipFd_ = -1;
    int linesFd_ = -1;
    std::vector<Line> lines_;
    std::string consumer_;
    std::uint64_t lineIoctls_ = 0;  // the line requests' ioctls, which the failures count
    bool failing_ = false;
    const DIR* listing_ = nullptr;  // the reading of /dev under way
    bool listed_ = false;           // whether the chip's entry came in it
    dirent entry_{};
};

FakeChip& chip() {
    return static_cast<FakeChip&>(fakeDevice());
}

}  // namespace

std::unique_ptr<FakeDevice> deviceFromEnvironment() {
    return deviceWithSettingsFromEnvironment<FakeChip, FakeGpiochip>();
}

void FakeGpiochip::restart(const Settings& settings) {
    replaceFakeDevice(std::make_unique<FakeChip>(settings));
}

sim::Simulation& FakeGpiochip::simulation() {
    return chip().simulation();
}

std::vector<std::string> FakeGpiochip::journal() {
    return chip().journal();
}

}  // namespace quorvane::testkit

// The entry points of the GPIO chip alone, in front of libc's (the others are the fake kernel's):
// the reading of /dev, where the chip is listed (the fake kernel's opendir tells it where that
// reading begins).
using namespace quorvane::testkit;

extern "C" {

dirent* readdir(DIR* dirp) {
    return chip().listed(dirp, libcFunction<dirent*(DIR*)>("readdir")(dirp));
}

int closedir(DIR* dirp) {
    chip().closing(dirp);
    return libcFunction<int(DIR*)>("closedir")(dirp);
}

}  // extern "C"
