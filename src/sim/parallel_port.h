// The three registers of a PC parallel port, as the program sees them.
#pragma once

#include <cstdint>

#include "sim/wiring.h"

namespace quorvane::sim {

// The levels the master side of the adapter puts on the wires.
struct MasterLines {
    bool scl = false;
    bool masterPullsSdaLow = false;
    bool vdd = false;
    bool a2 = false;
    bool a1 = false;
    bool a0 = false;

    friend bool operator==(const MasterLines&, const MasterLines&) = default;
    std::uint8_t addressPins() const {
        return static_cast<std::uint8_t>((a2 ? 4 : 0) | (a1 ? 2 : 0) | (a0 ? 1 : 0));
    }
};

// What real ports do differently from one another, beyond the four control outputs.
struct PortModes {
    // The port can turn its data lines around (PS/2, EPP and ECP ports): control bit 0x20 set
    // makes them inputs, so they neither power nor clock the adapter, and a data read gives what
    // floats on them. A control read gives the bit back.
    bool bidirectional = false;
};

// Register behaviour: data reads back its latch; control reads back bits 0..3 with 0xC0 on top;
// status is read only. Inputs the adapter leaves open float high at the connector, so Error
// (bit 3), Ack (bit 6) and Paper-out (bit 5) read 1 while Busy (bit 7, inverted by the port)
// reads 0; the reserved bits 0..2 read 1. Only status bit 4 carries a signal, the SDA line.
class ParallelPort {
  public:
    static constexpr std::uint16_t kDefaultBase = 0x378;
    static constexpr std::uint8_t kDataAtPowerOn = 0x00;
    // Init (bit 2) keeps a printer out of reset and Select-In (bit 3) selects it, as Linux's
    // parport_pc leaves the port; on the adapter Select-In pulls SDA low until the program
    // releases it.
    static constexpr std::uint8_t kControlAtPowerOn = 0x0C;
    static constexpr std::uint8_t kStatusFixed = 0x6F;   // bits 0..3, 5, 6 as described above
    static constexpr std::uint8_t kControlFixed = 0xC0;  // bits 6..7 of a control read
    static constexpr std::uint8_t kUnmapped = 0xFF;      // reads outside the three registers
    // Control bit 5: on a bidirectional port, set turns the data lines into inputs.
    static constexpr std::uint8_t kDataReverse = 0x20;
    // What a data read gives while nothing drives the data lines.
    static constexpr std::uint8_t kDataFloating = 0xFF;

    explicit ParallelPort(std::uint16_t base = kDefaultBase) : base_(base) {}

    std::uint16_t base() const { return base_; }
    bool contains(std::uint16_t address) const { return address >= base_ && address - base_ <= 2; }
    std::uint8_t dataLatch() const { return data_; }
    std::uint8_t controlLatch() const { return control_; }

    // What a read of `address` returns, the SDA line being at `sdaHigh`.
    std::uint8_t read(std::uint16_t address, bool sdaHigh) const;
    // Applies a write; false when nothing on the port changed (status, unmapped, same value).
    bool write(std::uint16_t address, std::uint8_t value);

    MasterLines masterLines() const {
        // Data lines turned into inputs carry nothing to the adapter: no supply, no clock.
        const std::uint8_t driven = dataFloating() ? std::uint8_t{0} : data_;
        const auto level = [driven, this](Signal s) {
            return levelOf(s, wire(s).reg == PortRegister::Control ? control_ : driven);
        };
        MasterLines m;
        m.scl = level(Signal::Scl);
        m.masterPullsSdaLow = !level(Signal::SdaDrive);
        m.vdd = level(Signal::Vdd);
        m.a2 = level(Signal::A2);
        m.a1 = level(Signal::A1);
        m.a0 = level(Signal::A0);
        return m;
    }
    void powerOn();

    const PortModes& modes() const { return modes_; }
    void setModes(const PortModes& modes) { modes_ = modes; }
    // True while the port has turned its data lines into inputs: the latch drives nothing.
    bool dataFloating() const { return modes_.bidirectional && (control_ & kDataReverse) != 0; }

  private:
    std::uint16_t base_;
    std::uint8_t data_ = kDataAtPowerOn;
    std::uint8_t control_ = kControlAtPowerOn;
    PortModes modes_;
};

}  // namespace quorvane::sim
