// Reading quorvane.log: entries of "\n<value> <unit letter> HH:MM:SS MM/DD/YYYY", one after
// another, the file beginning with an empty line and ending without a newline. Runs append to
// the same file with no mark between them, so a run shows only where the unit changes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "common/shown_line.h"

namespace quorvane::plot {

using tools::convert;
using tools::Entry;
using tools::letterOf;
using tools::parseEntry;
using tools::symbolOf;
using tools::Timestamp;
using tools::Unit;
using tools::unitFromLetter;

// Reads a log piece by piece, as it comes from the file, and hands on each entry as its line
// ends: a log of any length passes through without being held.
class LogReader {
  public:
    explicit LogReader(std::function<void(const Entry&)> onEntry) : onEntry_(std::move(onEntry)) {}

    // The next bytes of the log, cut anywhere.
    void read(std::string_view bytes);
    // The end of the log: its last line needs no newline.
    void finish();

    // Non-empty lines that are not entries (empty lines are the separators the format itself
    // makes), and the 1-based number of the first of them, or 0.
    std::size_t skipped() const { return skipped_; }
    std::size_t firstSkippedLine() const { return firstSkippedLine_; }

  private:
    void keep(std::string_view piece);
    void takeLine(std::string_view text);

    std::function<void(const Entry&)> onEntry_;
    std::string partial_;    // the start of a line whose end has not come yet
    bool overlong_ = false;  // that line has grown too long to be an entry
    std::size_t linesRead_ = 0;
    std::size_t skipped_ = 0;
    std::size_t firstSkippedLine_ = 0;
};

}  // namespace quorvane::plot
