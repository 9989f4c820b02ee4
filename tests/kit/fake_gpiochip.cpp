#include "kit/fake_gpiochip.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "kit/bus_events.h"

namespace quorvane::testkit {

namespace {

// The libc functions this library stands in front of.
template <typename Function>
Function* next(const char* name) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's result is a function
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}
using OpenFunction = int(const char*, int, ...);
using IoctlFunction = int(int, unsigned long, ...);
using CloseFunction = int(int);
using SleepFunction = unsigned int(unsigned int);

constexpr std::uint16_t kData = sim::ParallelPort::kDefaultBase;
constexpr std::uint16_t kControl = kData + 2;
// The board powers the chip and wires its address pins to 1 0 1; SCL is bit 0x80.
constexpr std::uint8_t kPoweredAndAddressed = 0x57;
constexpr std::uint8_t kScl = 0x80;
constexpr std::uint8_t kPullSda = 0x08;
// Longer gaps between ioctls than this are a stopped program, not bus time.
constexpr sim::Micros kLongestGap = 10 * sim::kMicrosPerSecond;

sim::Micros monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<sim::Micros>(now.tv_sec) * sim::kMicrosPerSecond + now.tv_nsec / 1000;
}

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
class FakeChip {
  public:
    explicit FakeChip(const FakeGpiochip::Settings& settings)
        : settings_(settings), sim_(sim::roomDrift()) {
        if (settings_.celsius) {
            sim_.setTemperature(*settings_.celsius);
        }
        sim_.setRealSleep(false);
        sim_.setDevicePresent(settings_.chipPresent);
        sim_.requestPortAccess(kData, 3, 1);
        sim_.output(kData, kScl | kPoweredAndAddressed);
        sim_.output(kControl, static_cast<std::uint8_t>(sim_.controlLatch() & ~kPullSda));
        const sim::LineState& now = sim_.lineState();
        decoder_.reset(now.scl, now.sda);
        sim_.setLineObserver([this](const sim::LineState& s) {
            decoder_.lines(s.scl, s.sda, s.time);
            for (const BusEvent& e : decoder_.events()) {
                note("bus " + e.token);
            }
            decoder_.clearEvents();
        });
        if (!settings_.journal.empty()) {
            journalFd_ = next<OpenFunction>("open")(
                settings_.journal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        lastIoctl_ = monotonicMicros();
    }
    ~FakeChip() {
        sim_.setLineObserver(nullptr);
        if (journalFd_ >= 0) {
            next<CloseFunction>("close")(journalFd_);
        }
    }
    FakeChip(const FakeChip&) = delete;
    FakeChip& operator=(const FakeChip&) = delete;

    bool serves(const char* path) const { return path != nullptr && settings_.device == path; }
    bool owns(int fd) const { return fd >= 0 && (fd == chipFd_ || fd == linesFd_); }
    sim::Simulation& simulation() { return sim_; }
    std::vector<std::string> journal() const { return journal_; }
    std::uint64_t lineIoctls() const { return lineIoctls_; }

    int open(int flags) {
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
        chipFd_ = next<OpenFunction>("open")("/dev/null", O_RDWR | (flags & O_CLOEXEC));
        return chipFd_;
    }

    int close(int fd) {
        note("close");
        if (fd == linesFd_) {
            linesFd_ = -1;  // the lines are released: nothing drives them any more
            lines_.clear();
            drive();
        } else {
            chipFd_ = -1;
        }
        return next<CloseFunction>("close")(fd);
    }

    unsigned int sleep(unsigned int seconds) {
        sim_.sleepSeconds(seconds);
        const unsigned int left = settings_.realSleep ? next<SleepFunction>("sleep")(seconds) : 0;
        lastIoctl_ = monotonicMicros();  // the sleep's time is counted once, above
        return left;
    }

    int ioctl(int fd, unsigned long request, void* argument) {
        if (fd == chipFd_) {
            return chipIoctl(request, argument);
        }
        advance();
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
        linesFd_ = next<OpenFunction>("open")("/dev/null", O_RDWR | O_CLOEXEC);
        request.fd = linesFd_;
        advance();
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
            return sim_.lineState().sda;
        }
        if (static_cast<int>(line.offset) == settings_.scl) {
            return sim_.lineState().scl;
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
        const std::uint8_t latch = sim_.controlLatch();
        const auto control =
            static_cast<std::uint8_t>(pullsLow(sda) ? latch | kPullSda : latch & ~kPullSda);
        sim_.output(kData, data);
        sim_.output(kControl, control);
    }

    // The chip's time catches up with the monotonic clock.
    void advance() {
        const sim::Micros now = monotonicMicros();
        const sim::Micros gap = std::min(now - lastIoctl_, kLongestGap);
        lastIoctl_ = now;
        for (sim::Micros t = 0; t < gap; ++t) {
            static_cast<void>(sim_.input(kData));
        }
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

    void note(const std::string& entry) {
        journal_.push_back(entry);
        if (journalFd_ >= 0) {
            // One write a line: the journal is whole up to the moment the program was killed.
            const std::string line = entry + "\n";
            static_cast<void>(!write(journalFd_, line.data(), line.size()));
        }
    }

    FakeGpiochip::Settings settings_;
    sim::Simulation sim_;
    BusEventDecoder decoder_;
    int chipFd_ = -1;
    int linesFd_ = -1;
    std::vector<Line> lines_;
    std::string consumer_;
    std::uint64_t lineIoctls_ = 0;
    bool failing_ = false;
    sim::Micros lastIoctl_ = 0;
    int journalFd_ = -1;
    std::vector<std::string> journal_;
};

std::unique_ptr<FakeChip>& chipSlot() {
    static std::unique_ptr<FakeChip> slot;
    return slot;
}

FakeChip& chip() {
    std::unique_ptr<FakeChip>& c = chipSlot();
    if (!c) {
        const char* text = std::getenv(FakeGpiochip::kEnvironmentVariable);
        c = std::make_unique<FakeChip>(text != nullptr ? FakeGpiochip::Settings::parse(text)
                                                       : FakeGpiochip::Settings{});
    }
    return *c;
}

bool takesMode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int openFile(const char* path, int flags, mode_t mode) {
    if (chip().serves(path)) {
        return chip().open(flags);
    }
    return next<OpenFunction>("open")(path, flags, mode);
}

void readSetting(const std::string& text, std::string& value) {
    value = text;
}
void readSetting(const std::string& text, bool& value) {
    value = std::strtoll(text.c_str(), nullptr, 0) != 0;
}
void readSetting(const std::string& text, int& value) {
    value = static_cast<int>(std::strtoll(text.c_str(), nullptr, 0));
}
void readSetting(const std::string& text, std::uint64_t& value) {
    value = std::strtoull(text.c_str(), nullptr, 0);
}
void readSetting(const std::string& text, std::optional<double>& value) {
    value = std::strtod(text.c_str(), nullptr);
}

}  // namespace

FakeGpiochip::Settings FakeGpiochip::Settings::parse(const std::string& text) {
    Settings s;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        const std::size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        bool known = false;
        each([&](const char* settingName, auto member) {
            if (name == settingName) {
                readSetting(value, s.*member);
                known = true;
            }
        });
        if (!known) {
            std::fprintf(stderr, "fake gpiochip: unknown setting %s\n", word.c_str());
            std::abort();
        }
    }
    return s;
}

void FakeGpiochip::restart(const Settings& settings) {
    std::unique_ptr<FakeChip>& c = chipSlot();
    c.reset();
    c = std::make_unique<FakeChip>(settings);
}

sim::Simulation& FakeGpiochip::simulation() {
    return chip().simulation();
}

std::vector<std::string> FakeGpiochip::journal() {
    return chip().journal();
}

std::uint64_t FakeGpiochip::lineIoctls() {
    return chip().lineIoctls();
}

}  // namespace quorvane::testkit

// The entry points, in front of libc's.
using namespace quorvane::testkit;

extern "C" {

int open(const char* file, int oflag, ...) {
    va_list rest;
    va_start(rest, oflag);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start has just begun it
    const mode_t mode = takesMode(oflag) ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    return openFile(file, oflag, mode);
}

int open64(const char* file, int oflag, ...) {
    va_list rest;
    va_start(rest, oflag);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start has just begun it
    const mode_t mode = takesMode(oflag) ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    return openFile(file, oflag, mode);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list rest;
    va_start(rest, request);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    if (chip().owns(fd)) {
        return chip().ioctl(fd, request, argument);
    }
    return next<IoctlFunction>("ioctl")(fd, request, argument);
}

int close(int fd) {
    if (chip().owns(fd)) {
        return chip().close(fd);
    }
    return next<CloseFunction>("close")(fd);
}

unsigned int sleep(unsigned int seconds) {
    return chip().sleep(seconds);
}

}  // extern "C"
