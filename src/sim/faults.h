// What can be wrong with the chip, the board and the program's access to the port, as one value:
// Faults{} is a sound setup, so that clearing every fault is one assignment.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvane::sim {

enum class SdaStuck : std::uint8_t { No, Low, High };

// The faults a schedule can set: the chip unplugged, its supply broken, the data line stuck low
// or high, the chip no longer acknowledging. A new kind takes a name below and its effect where
// the wires or the acknowledges are made.
enum class Fault : std::uint8_t { Unplugged, Unpowered, SdaLow, SdaHigh, NeverAcknowledge };
inline constexpr std::size_t kFaultKinds = 5;
using FaultSet = std::bitset<kFaultKinds>;

// The name of each kind in the settings of the world.
struct FaultName {
    Fault fault;
    std::string_view name;
};
inline constexpr std::array<FaultName, kFaultKinds> kFaultNames{{
    {Fault::Unplugged, "unplugged"},
    {Fault::Unpowered, "unpowered"},
    {Fault::SdaLow, "sda-low"},
    {Fault::SdaHigh, "sda-high"},
    {Fault::NeverAcknowledge, "nak"},
}};

struct Faults {
    FaultSet open;  // the kinds above that hold now
    // Bytes (addresses and data) the chip still acknowledges; nullopt: no limit.
    std::optional<unsigned long> acknowledgeBudget;
    // The chip's address pins strapped to a fixed 3-bit address instead of the adapter's lines.
    std::optional<std::uint8_t> strappedAddress;
    // Every access request fails with this errno.
    std::optional<int> accessRefusal;

    bool has(Fault fault) const { return open.test(static_cast<std::size_t>(fault)); }
    void set(Fault fault, bool on) { open.set(static_cast<std::size_t>(fault), on); }
    // The chip is plugged in and its supply whole (whether the port supplies it is the port's).
    bool chipConnected() const { return !has(Fault::Unplugged) && !has(Fault::Unpowered); }
    // Where the line is both stuck low and stuck high, it is low.
    SdaStuck sdaStuck() const {
        if (has(Fault::SdaLow)) {
            return SdaStuck::Low;
        }
        return has(Fault::SdaHigh) ? SdaStuck::High : SdaStuck::No;
    }
    void setSdaStuck(SdaStuck stuck) {
        set(Fault::SdaLow, stuck == SdaStuck::Low);
        set(Fault::SdaHigh, stuck == SdaStuck::High);
    }
    // Whether the chip withholds its acknowledge of the next byte.
    bool refusesAcknowledge() const {
        return has(Fault::NeverAcknowledge) || (acknowledgeBudget && *acknowledgeBudget == 0);
    }
};

}  // namespace quorvane::sim
