// How the adapter connects the bus, the supply and the address pins to the port's registers.
#pragma once

#include <array>
#include <cstdint>

namespace quorvane::sim {

enum class PortRegister : std::uint8_t { Data = 0, Status = 1, Control = 2 };

enum class Signal : std::uint8_t { Scl, SdaDrive, SdaSense, Vdd, A2, A1, A0 };

// Direct: the signal is high while every bit of the mask is set. Inverted: a set bit means low.
enum class Sense : std::uint8_t { Direct, Inverted };

struct Wire {
    Signal signal;
    PortRegister reg;
    std::uint8_t mask;
    Sense sense;
};

// The one place that knows the adapter. SdaDrive is the level the master's output gives the
// line (set bit: pulled low); SdaSense is what the port reads back (set bit: the line is low).
inline constexpr std::array<Wire, 7> kAdapterWiring{{
    {Signal::Scl, PortRegister::Data, 0x80, Sense::Direct},
    {Signal::SdaDrive, PortRegister::Control, 0x08, Sense::Inverted},
    {Signal::SdaSense, PortRegister::Status, 0x10, Sense::Inverted},
    {Signal::Vdd, PortRegister::Data, 0x07, Sense::Direct},
    {Signal::A2, PortRegister::Data, 0x40, Sense::Direct},
    {Signal::A1, PortRegister::Data, 0x20, Sense::Direct},
    {Signal::A0, PortRegister::Data, 0x10, Sense::Direct},
}};

constexpr const Wire& wire(Signal signal) {
    for (const Wire& w : kAdapterWiring) {
        if (w.signal == signal) {
            return w;
        }
    }
    return kAdapterWiring[0];  // unreachable: every signal has a row
}

// The level of a signal given the value of its register.
constexpr bool levelOf(Signal signal, std::uint8_t registerValue) {
    const Wire& w = wire(signal);
    const bool allSet = (registerValue & w.mask) == w.mask;
    return w.sense == Sense::Direct ? allSet : !allSet;
}

// The register bits that present a level of a signal (for the read-only status inputs).
constexpr std::uint8_t bitsFor(Signal signal, bool level) {
    const Wire& w = wire(signal);
    const bool set = w.sense == Sense::Direct ? level : !level;
    return set ? w.mask : std::uint8_t{0};
}

static_assert(levelOf(Signal::Vdd, 0x07) && !levelOf(Signal::Vdd, 0x06));
static_assert(!levelOf(Signal::SdaDrive, 0x08) && levelOf(Signal::SdaDrive, 0x00));
static_assert(bitsFor(Signal::SdaSense, false) == 0x10);

}  // namespace quorvane::sim
