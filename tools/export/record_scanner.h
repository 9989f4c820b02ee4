// Finds the records in the output of a quorvane program as it arrives, byte by byte. Every
// message of the program begins with a newline and ends without one, so the end of a message is
// known only when the next begins; a record's end is known from its own shape instead: it is
// complete with the last character of its time stamp, and is reported at that byte.
//
//   measurement  "\n" value ' ' unit ' ' "HH:MM:SS MM/DD/YYYY"   value as "%4.1f" prints it
//   error        "\nError reading thermometer " "HH:MM:SS MM/DD/YYYY"
//
// Everything else (banner, usage, log messages, bytes from elsewhere) is handed on as text. No
// byte is lost or added: the records and the text together are the input, with each message's
// leading newline shown as the start of a message.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "common/shown_line.h"

namespace quorvane::exporter {

enum class RecordKind { Measurement, Error };

// Views into the scanner's buffer, valid during the call that hands the record over.
struct Record {
    RecordKind kind = RecordKind::Measurement;
    std::string_view text;   // as printed, without its leading newline
    std::string_view value;  // the number as shown, without padding ("21.4"); empty for an error
    char unit = '\0';        // 'C', 'F' or 'K'; '\0' for an error
    tools::Timestamp stamp;
};

class ScanHandler {
  public:
    virtual ~ScanHandler() = default;
    virtual void record(const Record& record) = 0;
    // Bytes that belong to no record, in input order. `startsMessage`: they begin a message, and
    // the newline that began it is not among them (the bytes may then be empty).
    virtual void text(std::string_view bytes, bool startsMessage) = 0;
};

class RecordScanner {
  public:
    void feed(std::string_view bytes, ScanHandler& handler);
    // The input has ended: a record cut short is handed on as text.
    void finish(ScanHandler& handler);

    // The longest record: an error line (46 bytes).
    static constexpr std::size_t kCapacity = 48;

  private:
    enum class Phase { Start, Pad, Sign, Integer, Point, Fraction, Unit, UnitSpace, Word, Stamp };

    // Takes the next byte of a candidate record; false when the candidate cannot be one.
    bool extend(char c, ScanHandler& handler);
    // The candidate's grammar, for the byte just appended; false leaves it to be taken back.
    bool step(char c, ScanHandler& handler);
    bool completeStamp(ScanHandler& handler);
    void abandon(ScanHandler& handler);

    std::array<char, kCapacity> buffer_{};
    std::size_t length_ = 0;  // 0: no candidate; else buffer_[0] is its newline
    Phase phase_ = Phase::Start;
    std::size_t count_ = 0;  // characters of the current phase so far
    std::size_t pad_ = 0;
    std::size_t valueBegin_ = 0;
    std::size_t valueEnd_ = 0;
    std::size_t stampBegin_ = 0;
    bool leadingZero_ = false;
    char unit_ = '\0';
    RecordKind kind_ = RecordKind::Measurement;
};

}  // namespace quorvane::exporter
