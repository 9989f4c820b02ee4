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
#include <optional>

#include "broken_invariant.h"
#include "kit/bit_master.h"
#include "sim/simulation.h"

namespace {

using namespace quorvane::sim;
using quorvane::testkit::BitMaster;

constexpr std::uint16_t kBase = BitMaster::kData;

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

// The bit master, its every register access checked.
class BusFuzzer : public BitMaster {
  public:
    explicit BusFuzzer(Simulation& sim) : BitMaster(sim), sim_(sim) {
        // Eight ports from the base: the three registers and addresses nothing answers at.
        if (sim_.requestPortAccess(kBase, 8, 1) != 0) {
            abortOnBrokenInvariant("access to the simulated port is granted");
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
                output(static_cast<std::uint16_t>(kBase + arg % 8), in.next());
                break;
            case 1:
                input(static_cast<std::uint16_t>(kBase + arg % 8));
                break;
            case 2:
                scl((arg & 1) != 0);
                break;
            case 3:
                sda((arg & 1) == 0);
                break;
            case 4:
                start();
                break;
            case 5:
                stop();
                break;
            case 6:
                send(arg);
                break;
            case 7:
                receive((arg & 1) != 0);
                break;
            case 8:
                sim_.sleepSeconds(arg % 3);
                checkRegisters();
                break;
            case 9:
                // Up to about 26 ms of reads, enough for an EEPROM cycle to end.
                for (int i = 0; i < (arg + 1) * 100; ++i) {
                    input(kData);
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
                output(kData, static_cast<std::uint8_t>(sim_.input(kData) | 0xF7));
                output(kData, static_cast<std::uint8_t>(sim_.input(kData) & 0xDF));
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
        checkLines(sim_.lineState());
    }

    std::uint8_t input(std::uint16_t address) override {
        const LineState before = sim_.lineState();
        const std::uint8_t v = sim_.input(address);
        const LineState& after = sim_.lineState();
        if (before.scl != after.scl || before.sda != after.sda ||
            before.masterPullsSdaLow != after.masterPullsSdaLow ||
            before.devicePullsSdaLow != after.devicePullsSdaLow || before.vdd != after.vdd) {
            abortOnBrokenInvariant("a register read changes no line");
        }
        if (address == kStatus && ((v & kDataLow) == 0) != after.sda) {
            abortOnBrokenInvariant("the status register shows the SDA line, inverted");
        }
        return v;
    }

    void output(std::uint16_t address, std::uint8_t value) override {
        const LineState before = sim_.lineState();
        sim_.output(address, value);
        const LineState& after = sim_.lineState();
        checkLines(after);
        if (!before.devicePullsSdaLow && after.devicePullsSdaLow && after.scl) {
            abortOnBrokenInvariant("the device starts pulling SDA only while SCL is low");
        }
        if (before.devicePullsSdaLow && !after.devicePullsSdaLow && before.scl && after.scl &&
            before.masterPullsSdaLow == after.masterPullsSdaLow && devicePowered(after)) {
            abortOnBrokenInvariant(
                "the device lets go of SDA with SCL high only at a START or STOP");
        }
    }

    bool devicePowered(const LineState& lines) const {
        return lines.vdd && present_ && !supplyBroken_;
    }

    void checkLines(const LineState& lines) const {
        if (lines.devicePullsSdaLow && !devicePowered(lines)) {
            abortOnBrokenInvariant("an unpowered or absent device does not pull SDA");
        }
        const bool wiredAnd = !(lines.masterPullsSdaLow || lines.devicePullsSdaLow);
        const bool expected = stuck_ == SdaStuck::No ? wiredAnd : stuck_ == SdaStuck::High;
        if (lines.sda != expected) {
            abortOnBrokenInvariant(
                "SDA is the wired AND of master and device (or the stuck level)");
        }
        const BusDecoder::Phase phase = sim_.busPhase();
        if (lines.devicePullsSdaLow && phase != BusDecoder::Phase::Acknowledging &&
            phase != BusDecoder::Phase::Sending) {
            abortOnBrokenInvariant("the device pulls SDA only to acknowledge or to send a 0 bit");
        }
    }

    void checkRegisters() {
        const DeviceRegisters r = sim_.registers();
        if ((r.config & 0x0C) != 0) {
            abortOnBrokenInvariant("reserved configuration bits read 0");
        }
        if (!r.powered && (r.converting || (r.config & 0xF0) != 0)) {
            abortOnBrokenInvariant("an unpowered chip neither converts nor keeps volatile flags");
        }
        const auto t = static_cast<std::int16_t>(r.reading.temperature);
        if ((r.reading.temperature & 0x7F) != 0 || t < -55 * 256 || t > 125 * 256) {
            abortOnBrokenInvariant("the temperature register holds half degrees from -55 to +125");
        }
        if (r.reading.countRemain > r.reading.countPerC) {
            abortOnBrokenInvariant("count remain lies within count per degree");
        }
        if ((r.th & 0x7F) != 0 || (r.tl & 0x7F) != 0) {
            abortOnBrokenInvariant("TH and TL keep nine significant bits");
        }
        if (r.counter != r.reading.countRemain && r.counter != r.reading.countPerC) {
            abortOnBrokenInvariant(
                "the counter reads count remain, or the slope after a slope read");
        }
    }

    Simulation& sim_;
    bool present_ = true;
    bool supplyBroken_ = false;
    SdaStuck stuck_ = SdaStuck::No;
};

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): libFuzzer calls it by this name
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Simulation sim;
    BusFuzzer fuzzer(sim);
    fuzzer.run(in);
    return 0;
}
