#include "support/recording_port.h"

#include <cerrno>
#include <optional>

#include "bus/port_io.h"

namespace recording {

namespace {

constexpr std::uint16_t kDataOffset = 0;
constexpr std::uint16_t kStatusOffset = 1;
constexpr std::uint16_t kControlOffset = 2;

constexpr std::uint8_t kClockBit = 0x80;        // data register
constexpr std::uint8_t kDataDriveBit = 0x08;    // control register: set pulls the line low
constexpr std::uint8_t kDataReadLowBit = 0x10;  // status register: set when the line is low

}  // namespace

void RecordingPort::Reset(std::uint16_t base, std::uint8_t dataLatch, std::uint8_t controlLatch) {
    base_ = base;
    data_ = dataLatch;
    control_ = controlLatch;
    script_.clear();
    refuseErrno_ = 0;
    failCountdown_ = 0;
    accessFailed_ = false;
    log_.clear();
    requests_.clear();
    sleepCalls_ = 0;
    sleptSeconds_ = 0;
}

void RecordingPort::ScriptDeviceLevels(const std::vector<int>& levels) {
    script_.clear();
    AppendDeviceLevels(levels);
}

void RecordingPort::AppendDeviceLevels(const std::vector<int>& levels) {
    script_.insert(script_.end(), levels.begin(), levels.end());
}

int RecordingPort::Request(unsigned long from, unsigned long count, int turnOn) {
    requests_.push_back({from, count, turnOn});
    if (refuseErrno_ != 0) {
        errno = refuseErrno_;
        return -1;
    }
    return 0;
}

std::uint8_t RecordingPort::Read(std::uint16_t address) {
    std::uint8_t value = 0xFF;  // nothing answers outside the port's three registers
    if (address == base_ + kDataOffset) {
        value = data_;
    } else if (address == base_ + kStatusOffset) {
        int device = 1;
        if (!script_.empty()) {
            device = script_.front();
            script_.pop_front();
        }
        const bool masterPullsLow = (control_ & kDataDriveBit) != 0;
        const bool lineLow = masterPullsLow || device == 0;
        value = static_cast<std::uint8_t>(kStatusFixed | (lineLow ? kDataReadLowBit : 0));
    } else if (address == base_ + kControlOffset) {
        value = static_cast<std::uint8_t>(control_ | kControlFixed);
    }
    record(Kind::kRead, address, value);
    return value;
}

void RecordingPort::Write(std::uint16_t address, std::uint8_t value) {
    if (address == base_ + kDataOffset) {
        data_ = value;
    } else if (address == base_ + kControlOffset) {
        control_ = value;
    }
    record(Kind::kWrite, address, value);
}

void RecordingPort::Sleep(unsigned int seconds) {
    ++sleepCalls_;
    sleptSeconds_ += seconds;
}

int RecordingPort::TakeAccessFailed() {
    const bool failed = accessFailed_;
    accessFailed_ = false;
    return failed ? 1 : 0;
}

void RecordingPort::record(Kind kind, std::uint16_t address, std::uint8_t value) {
    if (failCountdown_ != 0 && --failCountdown_ == 0) {
        accessFailed_ = true;
    }
    if (kind == Kind::kRead && !log_.empty()) {
        Access& last = log_.back();
        if (last.kind == Kind::kRead && last.address == address && last.value == value) {
            ++last.count;
            return;
        }
    }
    log_.push_back({kind, address, value, 1});
}

RecordingPort& Port() {
    static RecordingPort port;
    return port;
}

std::uint64_t Reads(const std::vector<Access>& log, std::uint16_t address) {
    std::uint64_t total = 0;
    for (const Access& a : log) {
        if (a.kind == Kind::kRead && a.address == address) {
            total += a.count;
        }
    }
    return total;
}

std::uint64_t Writes(const std::vector<Access>& log, std::uint16_t address) {
    std::uint64_t total = 0;
    for (const Access& a : log) {
        if (a.kind == Kind::kWrite && a.address == address) {
            total += a.count;
        }
    }
    return total;
}

std::uint64_t AllReads(const std::vector<Access>& log) {
    std::uint64_t total = 0;
    for (const Access& a : log) {
        if (a.kind == Kind::kRead) {
            total += a.count;
        }
    }
    return total;
}

std::uint64_t AllWrites(const std::vector<Access>& log) {
    std::uint64_t total = 0;
    for (const Access& a : log) {
        if (a.kind == Kind::kWrite) {
            total += a.count;
        }
    }
    return total;
}

std::string DecodeMasterBus(const std::vector<Access>& log, std::uint16_t base) {
    std::string events;
    std::optional<bool> clockHigh;
    std::optional<bool> dataHigh;
    bool eventWhileHigh = false;
    int levelAtRise = 1;
    for (const Access& a : log) {
        if (a.address == base + kDataOffset) {
            const bool high = (a.value & kClockBit) != 0;
            if (clockHigh.has_value() && !*clockHigh && high) {
                eventWhileHigh = false;
                levelAtRise = dataHigh.value_or(true) ? 1 : 0;
            } else if (clockHigh.has_value() && *clockHigh && !high) {
                if (!eventWhileHigh) {
                    events += levelAtRise == 1 ? '1' : '0';
                }
            }
            clockHigh = high;
        } else if (a.address == base + kControlOffset) {
            const bool high = (a.value & kDataDriveBit) == 0;
            if (dataHigh.has_value() && clockHigh.value_or(false) && *dataHigh != high) {
                events += high ? 'P' : 'S';
                eventWhileHigh = true;
            }
            dataHigh = high;
        }
    }
    return events;
}

std::string Bits(std::uint8_t byte) {
    std::string bits;
    for (int bit = 7; bit >= 0; --bit) {
        bits += ((byte >> bit) & 1) != 0 ? '1' : '0';
    }
    return bits;
}

}  // namespace recording

// The seam, served by the recording port.
int RequestPortAccess(unsigned long from, unsigned long count, int turnOn) {
    return recording::Port().Request(from, count, turnOn);
}

unsigned char Input(unsigned short address) {
    return recording::Port().Read(address);
}

void Output(unsigned short address, unsigned char value) {
    recording::Port().Write(address, value);
}

void SleepSeconds(unsigned int seconds) {
    recording::Port().Sleep(seconds);
}

int AccessFailed() {
    return recording::Port().TakeAccessFailed();
}
