// Fuzzes the simulated port and thermometer: arbitrary sequences of register writes and reads,
// whole bus conditions and bytes, sleeps, temperatures and wiring faults, checking after every
// port access that the device behaves as a two-wire device can:
//   - it only ever pulls SDA low, and the line is the wired AND of master and device;
//   - it pulls only while powered, and only while acknowledging or sending;
//   - it starts pulling only while SCL is low, and lets go while SCL stays high only at a
//     START or STOP (the master moved SDA) or when it loses power;
//   - a read of a register changes no line;
// and that its registers stay in range. Each input runs on a simulation of its own.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "sim/simulation.h"

namespace {

using quorvane::sim::BusDecoder;
using quorvane::sim::DeviceRegisters;
using quorvane::sim::LineState;
using quorvane::sim::SdaStuck;
using quorvane::sim::Simulation;

constexpr std::uint16_t kBase = 0x378;
constexpr std::uint16_t kData = kBase;
constexpr std::uint16_t kStatus = kBase + 1;
constexpr std::uint16_t kControl = kBase + 2;
// The adapter's bits, at register level.
constexpr std::uint8_t kScl = 0x80;
constexpr std::uint8_t kSdaPull = 0x08;
constexpr std::uint8_t kSdaLow = 0x10;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

class BusFuzzer {
  public:
    BusFuzzer() {
        sim_.setRealSleep(false);
        // Eight ports from the base: the three registers and addresses nothing answers at.
        if (sim_.requestPortAccess(kBase, 8, 1) != 0) {
            fail("access to the simulated port is granted");
        }
    }

    void run(Input& in) {
        while (!in.empty()) {
            step(in);
        }
        checkRegisters();
    }

  private:
    void step(Input& in) {
        const std::uint8_t op = in.next();
        const std::uint8_t arg = in.next();
        switch (op % 14) {
            case 0:
                write(static_cast<std::uint16_t>(kBase + arg % 8), in.next());
                break;
            case 1:
                read(static_cast<std::uint16_t>(kBase + arg % 8));
                break;
            case 2:
                setBits(kData, kScl, (arg & 1) != 0);
                break;
            case 3:
                setBits(kControl, kSdaPull, (arg & 1) != 0);
                break;
            case 4:
                startCondition();
                break;
            case 5:
                stopCondition();
                break;
            case 6:
                sendByte(arg);
                break;
            case 7:
                receiveByte((arg & 1) != 0);
                break;
            case 8:
                sim_.sleepSeconds(arg % 3);
                checkRegisters();
                break;
            case 9:
                // Up to about 26 ms of reads, enough for an EEPROM cycle to end.
                for (int i = 0; i < (arg + 1) * 100; ++i) {
                    read(kData);
                }
                checkRegisters();
                break;
            case 10:
                // -80 to +150 degrees, past both ends of the sensor's range.
                sim_.setTemperature(-80.0 + arg * (230.0 / 255.0));
                break;
            case 11:
                sim_.setCountPerC(arg);
                break;
            case 12:
                fault(arg);
                break;
            default:
                // The program's own way to power and address the chip.
                write(kData, static_cast<std::uint8_t>(sim_.input(kData) | 0xF7));
                write(kData, static_cast<std::uint8_t>(sim_.input(kData) & 0xDF));
                break;
        }
    }

    void fault(std::uint8_t arg) {
        switch (arg % 6) {
            case 0:
                supplyBroken_ = (arg & 0x10) != 0;
                sim_.setSupplyBroken(supplyBroken_);
                break;
            case 1:
                present_ = (arg & 0x10) != 0;
                sim_.setDevicePresent(present_);
                break;
            case 2:
                stuck_ = static_cast<SdaStuck>((arg >> 4) % 3);
                sim_.setSdaStuck(stuck_);
                break;
            case 3:
                sim_.setNeverAcknowledge((arg & 0x10) != 0);
                break;
            case 4:
                if ((arg & 0x80) != 0) {
                    sim_.strapAddress(static_cast<std::uint8_t>((arg >> 4) & 7));
                } else {
                    sim_.strapAddress(std::nullopt);
                }
                break;
            default:
                sim_.stopAcknowledgingAfter(arg >> 4);
                break;
        }
        checkLines(sim_.lines());
    }

    void setBits(std::uint16_t address, std::uint8_t mask, bool set) {
        const std::uint8_t v = read(address);
        write(address, static_cast<std::uint8_t>(set ? (v | mask) : (v & ~mask)));
    }
    void scl(bool high) { setBits(kData, kScl, high); }
    void sdaRelease(bool released) { setBits(kControl, kSdaPull, !released); }
    bool sdaHigh() { return (read(kStatus) & kSdaLow) == 0; }

    void startCondition() {
        sdaRelease(true);
        scl(true);
        sdaRelease(false);
        scl(false);
    }
    void stopCondition() {
        sdaRelease(false);
        scl(true);
        sdaRelease(true);
    }
    void sendByte(std::uint8_t b) {
        for (int bit = 7; bit >= 0; --bit) {
            sdaRelease(((b >> bit) & 1) != 0);
            scl(true);
            scl(false);
        }
        sdaRelease(true);
        scl(true);
        static_cast<void>(sdaHigh());
        scl(false);
    }
    void receiveByte(bool acknowledge) {
        sdaRelease(true);
        for (int bit = 0; bit < 8; ++bit) {
            scl(true);
            static_cast<void>(sdaHigh());
            scl(false);
        }
        sdaRelease(!acknowledge);
        scl(true);
        scl(false);
        sdaRelease(true);
    }

    std::uint8_t read(std::uint16_t address) {
        const LineState before = sim_.lines();
        const std::uint8_t v = sim_.input(address);
        const LineState& after = sim_.lines();
        if (before.scl != after.scl || before.sda != after.sda ||
            before.sdaMaster != after.sdaMaster || before.sdaDevice != after.sdaDevice ||
            before.vdd != after.vdd) {
            fail("a register read changes no line");
        }
        if (address == kStatus && ((v & kSdaLow) == 0) != after.sda) {
            fail("the status register shows the SDA line, inverted");
        }
        return v;
    }

    void write(std::uint16_t address, std::uint8_t value) {
        const LineState before = sim_.lines();
        sim_.output(address, value);
        const LineState& after = sim_.lines();
        checkLines(after);
        if (!before.sdaDevice && after.sdaDevice && after.scl) {
            fail("the device starts pulling SDA only while SCL is low");
        }
        if (before.sdaDevice && !after.sdaDevice && before.scl && after.scl &&
            before.sdaMaster == after.sdaMaster && devicePowered(after)) {
            fail("the device lets go of SDA with SCL high only at a START or STOP");
        }
    }

    bool devicePowered(const LineState& lines) const {
        return lines.vdd && present_ && !supplyBroken_;
    }

    void checkLines(const LineState& lines) const {
        if (lines.sdaDevice && !devicePowered(lines)) {
            fail("an unpowered or absent device does not pull SDA");
        }
        const bool wiredAnd = !(lines.sdaMaster || lines.sdaDevice);
        const bool expected = stuck_ == SdaStuck::No ? wiredAnd : stuck_ == SdaStuck::High;
        if (lines.sda != expected) {
            fail("SDA is the wired AND of master and device (or the stuck level)");
        }
        const BusDecoder::Phase phase = sim_.busPhase();
        if (lines.sdaDevice && phase != BusDecoder::Phase::Acknowledging &&
            phase != BusDecoder::Phase::Sending) {
            fail("the device pulls SDA only to acknowledge or to send a 0 bit");
        }
    }

    void checkRegisters() {
        const DeviceRegisters r = sim_.registers();
        if ((r.config & 0x0C) != 0) {
            fail("reserved configuration bits read 0");
        }
        if (!r.powered && (r.converting || (r.config & 0xF0) != 0)) {
            fail("an unpowered chip neither converts nor keeps volatile flags");
        }
        const auto t = static_cast<std::int16_t>(r.reading.temperature);
        if ((r.reading.temperature & 0x7F) != 0 || t < -55 * 256 || t > 125 * 256) {
            fail("the temperature register holds half degrees from -55 to +125");
        }
        if (r.reading.countRemain > r.reading.countPerC) {
            fail("count remain lies within count per degree");
        }
        if ((r.th & 0x7F) != 0 || (r.tl & 0x7F) != 0) {
            fail("TH and TL keep nine significant bits");
        }
        if (r.counter != r.reading.countRemain && r.counter != r.reading.countPerC) {
            fail("the counter reads count remain, or the slope after a slope read");
        }
    }

    Simulation sim_;
    bool present_ = true;
    bool supplyBroken_ = false;
    SdaStuck stuck_ = SdaStuck::No;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    BusFuzzer fuzzer;
    fuzzer.run(in);
    return 0;
}
