// Feeds quorvane-export measurement records one second of stamp apart and tells when each one's
// last byte went in: the record up to that byte is written, and has time to be read, before the
// clock starts, so that what is timed is the exporter's answer to the completed record.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "kit/child_process.h"

namespace quorvane::bench {

class RecordFeed {
  public:
    explicit RecordFeed(testkit::ChildProcess& exporter) : exporter_(exporter) {}

    // Writes the next record; the time its last byte was written.
    std::chrono::steady_clock::time_point writeNext() {
        char record[64];
        std::snprintf(record, sizeof record, "\n21.4 C 14:%02d:%02d 12/08/2026", second_ / 60 % 60,
                      second_ % 60);
        ++second_;
        const std::string_view text = record;
        exporter_.writeInput(text.substr(0, text.size() - 1));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        const auto start = std::chrono::steady_clock::now();
        exporter_.writeInput(text.substr(text.size() - 1));
        return start;
    }

  private:
    testkit::ChildProcess& exporter_;
    int second_ = 0;
};

}  // namespace quorvane::bench
