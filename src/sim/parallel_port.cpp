#include "sim/parallel_port.h"

#include "sim/wiring.h"

namespace quorvane::sim {

namespace {

std::uint8_t registerValue(PortRegister reg, std::uint8_t data, std::uint8_t control) {
    return reg == PortRegister::Control ? control : data;
}

bool level(Signal signal, std::uint8_t data, std::uint8_t control) {
    return levelOf(signal, registerValue(wire(signal).reg, data, control));
}

}  // namespace

std::uint8_t ParallelPort::read(std::uint16_t address, bool sdaHigh) const {
    if (!contains(address)) {
        return kUnmapped;
    }
    switch (static_cast<PortRegister>(address - base_)) {
        case PortRegister::Data:
            return dataFloating() ? kDataFloating : data_;
        case PortRegister::Status:
            return static_cast<std::uint8_t>(kStatusFixed | bitsFor(Signal::SdaSense, sdaHigh));
        case PortRegister::Control:
            break;
    }
    if (modes_.ppdevControlReadback) {
        return static_cast<std::uint8_t>(control_ & 0x0F);
    }
    // A bidirectional port reads its direction back, so a read-modify-write keeps it as it is.
    const std::uint8_t direction = modes_.bidirectional ? control_ & kDataReverse : 0;
    return static_cast<std::uint8_t>((control_ & 0x0F) | direction | kControlFixed);
}

bool ParallelPort::write(std::uint16_t address, std::uint8_t value) {
    if (!contains(address)) {
        return false;
    }
    std::uint8_t* latch = nullptr;
    switch (static_cast<PortRegister>(address - base_)) {
        case PortRegister::Data:
            latch = &data_;
            break;
        case PortRegister::Control:
            latch = &control_;
            break;
        case PortRegister::Status:
            return false;
    }
    if (*latch == value) {
        return false;
    }
    *latch = value;
    return true;
}

MasterLines ParallelPort::lines() const {
    // Data lines turned into inputs carry nothing to the adapter: no supply, no clock.
    const std::uint8_t driven = dataFloating() ? std::uint8_t{0} : data_;
    MasterLines m;
    m.scl = level(Signal::Scl, driven, control_);
    m.sdaMaster = !level(Signal::SdaDrive, driven, control_);
    m.vdd = level(Signal::Vdd, driven, control_);
    m.a2 = level(Signal::A2, driven, control_);
    m.a1 = level(Signal::A1, driven, control_);
    m.a0 = level(Signal::A0, driven, control_);
    return m;
}

void ParallelPort::powerOn() {
    data_ = kDataAtPowerOn;
    control_ = kControlAtPowerOn;
}

}  // namespace quorvane::sim
