// A register-level port for the bus tests: data and control latches that read back as written,
// and a status register whose data-line bit shows a device that holds the line low until it has
// seen a given number of falling clock edges. It records every write and every status read.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvane::test {

struct PortWrite {
    std::uint16_t address;
    std::uint8_t value;
};

struct HeldLinePort {
    static constexpr std::uint16_t kBase = 0x378;

    std::uint8_t data = 0x80;     // clock high, as after power and the address set-up
    std::uint8_t control = 0x04;  // data line released
    // Falling clock edges after which the device lets go; negative: it never does.
    int releaseAfterFalls = 0;
    int falls = 0;

    std::vector<PortWrite> writes;
    int statusReads = 0;
    // The clock level at each status read, to show the line is sampled with the clock high.
    std::vector<bool> clockAtStatusRead;

    bool deviceHoldsLow() const { return releaseAfterFalls < 0 || falls < releaseAfterFalls; }
    bool clockHigh() const { return (data & 0x80) != 0; }
    bool masterPullsLow() const { return (control & 0x08) != 0; }
};

// The one instance behind the port seam; each test resets it.
HeldLinePort& heldLinePort();
void resetHeldLinePort(int releaseAfterFalls);

}  // namespace quorvane::test
