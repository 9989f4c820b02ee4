// A value change dump (IEEE 1364) of one-bit wires, as logic analysers and waveform viewers
// read it: the header, the levels at the first time, then only the changes.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::trace {

class VcdWriter {
  public:
    // Writes the header at once. The time unit is one microsecond.
    VcdWriter(std::ostream& out, std::string_view scope, const std::vector<std::string>& wires,
              std::string_view comment);

    // The levels of all wires (in the order given) at `time`, which never goes back. Only wires
    // that changed are written; the first call writes every wire.
    void sample(std::int64_t time, const std::vector<bool>& levels);

    // Marks the end of the recording, so that viewers show the last levels up to `time`.
    void finish(std::int64_t time);

    std::size_t changes() const { return changes_; }

  private:
    void timestamp(std::int64_t time);

    std::ostream& out_;
    std::vector<std::string> codes_;
    std::vector<bool> levels_;
    bool started_ = false;
    std::int64_t time_ = 0;
    bool timeWritten_ = false;
    std::size_t changes_ = 0;
};

}  // namespace quorvane::trace
