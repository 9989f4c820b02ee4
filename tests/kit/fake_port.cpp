#include "kit/fake_port.h"

#include "bus/port_io.h"

namespace quorvane::testkit {

void PrintTo(const Access& access, std::ostream* out) {
    *out << (access.kind == Kind::Read ? "read 0x" : "write 0x") << std::hex << access.address
         << " 0x" << unsigned{access.value} << std::dec << " x" << access.count;
}

std::uint64_t countAccesses(const std::vector<Access>& log, Kind kind,
                            std::optional<std::uint16_t> address) {
    std::uint64_t total = 0;
    for (const Access& a : log) {
        if (a.kind == kind && (!address || a.address == *address)) {
            total += a.count;
        }
    }
    return total;
}

void FakePort::reset(std::uint16_t base, std::uint8_t dataLatch, std::uint8_t controlLatch) {
    *this = FakePort{};
    base_ = base;
    data_ = dataLatch;
    control_ = controlLatch;
    bus_.reset(clockHigh(), masterReleases());
}

std::uint8_t FakePort::read(std::uint16_t address) {
    std::uint8_t value = 0xFF;  // nothing answers outside the port's three registers
    if (address == base_) {
        value = data_;
    } else if (address == base_ + 1) {
        int device = 1;
        if (!script_.empty()) {
            device = script_.front();
            script_.pop_front();
        }
        const bool held = holdFalls_ < 0 || falls_ < holdFalls_;
        const bool lineLow = !masterReleases() || held || device == 0;
        value = static_cast<std::uint8_t>(kStatusFixed | (lineLow ? 0x10 : 0));
        samplesClockLow_ += clockHigh() ? 0U : 1U;
    } else if (address == base_ + 2) {
        value = static_cast<std::uint8_t>(control_ | kControlFixed);
    }
    record(Kind::Read, address, value);
    return value;
}

void FakePort::write(std::uint16_t address, std::uint8_t value) {
    if (address == base_) {
        falls_ += clockHigh() && (value & 0x80) == 0 ? 1 : 0;
        data_ = value;
    } else if (address == base_ + 2) {
        control_ = value;
    }
    bus_.newLevels(clockHigh(), masterReleases());
    record(Kind::Write, address, value);
}

void FakePort::record(Kind kind, std::uint16_t address, std::uint8_t value) {
    if (failCountdown_ != 0 && --failCountdown_ == 0) {
        accessFailed_ = true;
    }
    if (kind == Kind::Read && !log_.empty()) {
        Access& last = log_.back();
        if (last.kind == Kind::Read && last.address == address && last.value == value) {
            ++last.count;
            return;
        }
    }
    log_.push_back({kind, address, value, 1});
}

FakePort& fakePort() {
    static FakePort port;
    return port;
}

}  // namespace quorvane::testkit

// The seam, served by the fake port.
int RequestPortAccess(unsigned long /*from*/, unsigned long /*count*/, int /*turnOn*/) {
    return 0;
}

unsigned char Input(unsigned short address) {
    return quorvane::testkit::fakePort().read(address);
}

void Output(unsigned short address, unsigned char value) {
    quorvane::testkit::fakePort().write(address, value);
}

void SleepSeconds(unsigned int seconds) {
    quorvane::testkit::fakePort().sleep(seconds);
}

int AccessFailed() {
    return quorvane::testkit::fakePort().takeAccessFailed();
}
