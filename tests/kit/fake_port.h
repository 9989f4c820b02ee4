// The fake of the port seam for tests, linked under the layers in place of a real port. It keeps
// every port access in order; models the three parallel-port registers with fixed non-zero
// patterns on the bits the program never uses (so a wrong mask or a lost bit in a
// read-modify-write shows); plays a device on the data line, from a script of levels or as one
// left in the middle of a byte; decodes the master's side of the bus as it goes; counts sleeps
// instead of sleeping; and can fail an access. It grants every access request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kit/bus_analyser.h"

namespace quorvane::testkit {

enum class Kind { Read, Write };

// One port access; consecutive identical reads are folded into one entry with a count, so that
// the millions of reads of the busy wait stay cheap to keep and easy to assert on.
struct Access {
    Kind kind;
    std::uint16_t address;
    std::uint8_t value;
    std::uint32_t count;
    friend bool operator==(const Access&, const Access&) = default;
};
void PrintTo(const Access& access, std::ostream* out);

// Accesses of one kind in a log, at one address or at any.
std::uint64_t countAccesses(const std::vector<Access>& log, Kind kind,
                            std::optional<std::uint16_t> address = std::nullopt);

// Bits of the status register that are not inputs of the adapter read as this fixed pattern.
inline constexpr std::uint8_t kStatusFixed = 0x07 | 0x48;
// Bits 6..7 of the control register read set whatever was written.
inline constexpr std::uint8_t kControlFixed = 0xC0;

class FakePort {
  public:
    // Forgets everything: registers to the given latches, no device, no log.
    void reset(std::uint16_t base = 0x378, std::uint8_t dataLatch = 0x00,
               std::uint8_t controlLatch = 0x00);

    // Levels (1 high, 0 low) that the device puts on the data line, one per status read in
    // order; once they are used up the device leaves the line released (high). The master's
    // own drive still wins: while it pulls the line low, the line reads low.
    void scriptDeviceLevels(const std::vector<int>& levels) {
        script_.assign(levels.begin(), levels.end());
    }
    std::size_t scriptedLevelsLeft() const { return script_.size(); }
    // A device left in the middle of a byte holds the data line low until it has seen this many
    // falling clock edges since the reset; negative: for ever.
    void holdDataLowForFalls(int falls) { holdFalls_ = falls; }
    int clockFalls() const { return falls_; }
    // Status reads made while the clock was low.
    std::uint64_t samplesWithClockLow() const { return samplesClockLow_; }

    // The n-th access from now (1 = the next) is reported failed, as a port that went away
    // reports it; it still happens. 0 disarms.
    void failAccess(std::uint64_t n) { failCountdown_ = n; }

    std::uint8_t dataLatch() const { return data_; }
    std::uint8_t controlLatch() const { return control_; }
    unsigned sleepCalls() const { return sleepCalls_; }
    unsigned sleptSeconds() const { return sleptSeconds_; }

    const std::vector<Access>& log() const { return log_; }
    // Forgets the log and the bus decoded so far.
    void clearLog() {
        log_.clear();
        bus_.clearEvents();
    }
    // The master's side of the bus since the last clearLog(), decoded from its line changes (see
    // kit/bus_analyser.h). The master releases the line for every ninth clock and every bit it
    // receives, so those read "n" and "FF" whatever the device does.
    std::string masterBus() const { return bus_.text(); }

    // Entry points of the seam.
    std::uint8_t read(std::uint16_t address);
    void write(std::uint16_t address, std::uint8_t value);
    void sleep(unsigned int seconds) {
        ++sleepCalls_;
        sleptSeconds_ += seconds;
    }
    int takeAccessFailed() { return std::exchange(accessFailed_, false) ? 1 : 0; }

  private:
    void record(Kind kind, std::uint16_t address, std::uint8_t value);
    bool clockHigh() const { return (data_ & 0x80) != 0; }
    bool masterReleases() const { return (control_ & 0x08) == 0; }

    std::uint16_t base_ = 0x378;
    std::uint8_t data_ = 0;
    std::uint8_t control_ = 0;
    std::deque<int> script_;
    int holdFalls_ = 0;
    int falls_ = 0;
    std::uint64_t samplesClockLow_ = 0;
    std::uint64_t failCountdown_ = 0;
    bool accessFailed_ = false;
    std::vector<Access> log_;
    BusAnalyser bus_;
    unsigned sleepCalls_ = 0;
    unsigned sleptSeconds_ = 0;
};

// The one port that the seam's free functions talk to.
FakePort& fakePort();

}  // namespace quorvane::testkit
