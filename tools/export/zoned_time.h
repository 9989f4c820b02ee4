// The time of a record: its local stamp placed on the time line. The stamp carries no zone, so
// the exporter reads it in its own time zone (which must be the program's); where the stamp
// names two instants (the hour that repeats when daylight saving time ends), the UTC offset in
// force when the record arrived decides, unless it would put the record after its arrival.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "export/record_scanner.h"

namespace quorvane::exporter {

struct ZonedTime {
    std::int64_t unixSeconds = 0;
    long utcOffset = 0;  // seconds east of UTC
};

ZonedTime placeStamp(const tools::Timestamp& stamp, std::time_t arrival);

// ISO 8601 with the offset: "2026-12-08T14:05:09+01:00".
std::string iso8601(const tools::Timestamp& stamp, long utcOffset);

}  // namespace quorvane::exporter
