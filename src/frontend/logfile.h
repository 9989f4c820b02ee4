// The periodic log: appends the measurement line just printed to quorvane.log in the current
// directory, at most once per logFrequency seconds.
#pragma once

#include <cstdint>

// Offers one printed line to the log. Logging is on only for a logFrequency of at least 1.
// *lastLogTime holds the whole-second clock reading of the last entry (or of the start), in 64
// bits so that the schedule holds beyond 2038.
void LogMeasurement(std::int32_t logFrequency, std::int64_t* lastLogTime, const char* line);
