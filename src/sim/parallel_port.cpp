#include "sim/parallel_port.h"

#include "sim/wiring.h"

namespace quorvane::sim {

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

void ParallelPort::powerOn() {
    data_ = kDataAtPowerOn;
    control_ = kControlAtPowerOn;
}

}  // namespace quorvane::sim
