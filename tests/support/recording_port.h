// A recording fake of the port seam for tests: it keeps every port access in order, models the
// three parallel-port registers with fixed non-zero patterns on the bits the program never uses
// (so a wrong mask or a lost bit in a read-modify-write shows), lets a test script what the
// device does to the data line, counts sleeps instead of sleeping, and can refuse access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace recording {

enum class Kind { kRead, kWrite };

// One port access; consecutive identical reads are folded into one entry with a count, so that
// the millions of reads of the busy wait stay cheap to keep and easy to assert on.
struct Access {
    Kind kind;
    std::uint16_t address;
    std::uint8_t value;
    std::uint32_t count;
};

// Bits of the status register that are not inputs of the adapter read as this fixed pattern.
constexpr std::uint8_t kStatusFixed = 0x07 | 0x48;
// Bits 6..7 of the control register read set whatever was written.
constexpr std::uint8_t kControlFixed = 0xC0;

class RecordingPort {
  public:
    // Forgets everything: registers to the given latches, no script, no log, access granted.
    void Reset(std::uint16_t base = 0x378, std::uint8_t dataLatch = 0x00,
               std::uint8_t controlLatch = 0x00);

    // Levels (1 high, 0 low) that the device puts on the data line, one per status read in
    // order; once they are used up the device leaves the line released (high). The master's
    // own drive still wins: while it pulls the line low, the line reads low.
    void ScriptDeviceLevels(const std::vector<int>& levels);
    void AppendDeviceLevels(const std::vector<int>& levels);
    std::size_t ScriptedLevelsLeft() const { return script_.size(); }

    // Makes RequestPortAccess fail with this errno (0 grants it again).
    void RefuseAccess(int errorNumber) { refuseErrno_ = errorNumber; }
    // The n-th access from now (1 = the next) is reported failed, as a port that went away
    // reports it; it still happens. 0 disarms.
    void FailAccess(std::uint64_t n) { failCountdown_ = n; }

    std::uint8_t DataLatch() const { return data_; }
    std::uint8_t ControlLatch() const { return control_; }
    std::uint16_t Base() const { return base_; }

    const std::vector<Access>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }

    unsigned SleepCalls() const { return sleepCalls_; }
    unsigned SleptSeconds() const { return sleptSeconds_; }

    struct AccessRequest {
        unsigned long from;
        unsigned long count;
        int turnOn;
    };
    const std::vector<AccessRequest>& AccessRequests() const { return requests_; }

    // Entry points of the seam.
    int Request(unsigned long from, unsigned long count, int turnOn);
    std::uint8_t Read(std::uint16_t address);
    void Write(std::uint16_t address, std::uint8_t value);
    void Sleep(unsigned int seconds);
    int TakeAccessFailed();

  private:
    void record(Kind kind, std::uint16_t address, std::uint8_t value);

    std::uint16_t base_ = 0x378;
    std::uint8_t data_ = 0;
    std::uint8_t control_ = 0;
    std::deque<int> script_;
    int refuseErrno_ = 0;
    std::uint64_t failCountdown_ = 0;
    bool accessFailed_ = false;
    std::vector<Access> log_;
    std::vector<AccessRequest> requests_;
    unsigned sleepCalls_ = 0;
    unsigned sleptSeconds_ = 0;
};

// The one port that the seam's free functions talk to.
RecordingPort& Port();

// Totals over a log.
std::uint64_t Reads(const std::vector<Access>& log, std::uint16_t address);
std::uint64_t Writes(const std::vector<Access>& log, std::uint16_t address);
std::uint64_t AllReads(const std::vector<Access>& log);
std::uint64_t AllWrites(const std::vector<Access>& log);

// Decodes the master's side of the bus from the writes in a log: "S" for a start condition
// (data falls while the clock is high), "P" for a stop (data rises while the clock is high), and
// for every clock pulse without either, '1' or '0' for the level the master left on the data
// line. Bits come in groups of nine per byte on the wire; the decoder does not group them.
std::string DecodeMasterBus(const std::vector<Access>& log, std::uint16_t base);

// The bits of a byte as DecodeMasterBus shows them, most significant first.
std::string Bits(std::uint8_t byte);

}  // namespace recording
