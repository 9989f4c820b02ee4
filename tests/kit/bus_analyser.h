// Reads a two-wire bus from its two line levels alone, as a logic analyser would, and writes
// what happened as compact tokens:
//   "S"   start condition on an idle bus        "Sr"  start condition on a busy bus
//   "P"   stop condition
//   "9A"  a byte, in hexadecimal, whoever sent it (sampled while the clock is high)
//   "a"   ninth clock with the data line low    "n"   ninth clock with the data line high
//   "?01" a byte cut short by a start or stop condition after the bits shown
// A start or stop during the ninth clock ends that clock without an acknowledge token: the
// clock pulse then belongs to the condition (so "19 Sr" means the ninth clock rose with the data
// line released and the repeated start followed on the same pulse).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::testkit {

struct BusEvent {
    std::string token;
    std::int64_t time = 0;  // time stamp of the line change that completed the event
};

// A byte as the analyser writes it: two upper-case hexadecimal digits.
std::string hexByte(unsigned byte);

class BusAnalyser {
  public:
    // The levels at the start of the trace; the bus counts as idle.
    explicit BusAnalyser(bool scl = true, bool sda = true) { reset(scl, sda); }
    void reset(bool scl, bool sda);

    // The levels after a change (changes that leave both levels as they were are ignored).
    void newLevels(bool scl, bool sda, std::int64_t time = 0);

    const std::vector<BusEvent>& events() const { return events_; }
    // The tokens joined by single spaces; a byte not finished yet ends it as "?" and its bits.
    std::string text() const;
    void clearEvents() { events_.clear(); }

  private:
    std::string bitsSoFar() const;

    bool scl_ = true;
    bool sda_ = true;
    bool busy_ = false;
    bool levelAtRise_ = true;
    bool conditionThisPulse_ = false;
    int bits_ = 0;  // bits of the current byte so far; 8 while its ninth clock is due
    unsigned value_ = 0;
    std::vector<BusEvent> events_;
};

}  // namespace quorvane::testkit
