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
            return data_;
        case PortRegister::Status:
            return static_cast<std::uint8_t>(kStatusFixed | bitsFor(Signal::SdaSense, sdaHigh));
        case PortRegister::Control:
            break;
    }
    return static_cast<std::uint8_t>((control_ & 0x0F) | kControlFixed);
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
    MasterLines m;
    m.scl = level(Signal::Scl, data_, control_);
    m.sdaMaster = !level(Signal::SdaDrive, data_, control_);
    m.vdd = level(Signal::Vdd, data_, control_);
    m.a2 = level(Signal::A2, data_, control_);
    m.a1 = level(Signal::A1, data_, control_);
    m.a0 = level(Signal::A0, data_, control_);
    return m;
}

void ParallelPort::powerOn() {
    data_ = kDataAtPowerOn;
    control_ = kControlAtPowerOn;
}

}  // namespace quorvane::sim
