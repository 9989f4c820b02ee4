#include "frontend/logfile.h"

#include <cstdio>
#include <ctime>

namespace {
constexpr const char* kLogFileName = "quorvane.log";
}

void LogMeasurement(std::int32_t logFrequency, std::int32_t* lastLogTime, const char* line) {
    if (logFrequency < 1) {
        return;
    }
    const std::int64_t now = std::time(nullptr);
    // A clock set back would otherwise silence the log until the old time comes round again.
    if (now < *lastLogTime) {
        *lastLogTime = static_cast<std::int32_t>(now);
    }
    // In 64 bits, so that an interval up to the largest 32-bit value never wraps.
    if (now < static_cast<std::int64_t>(*lastLogTime) + logFrequency) {
        return;
    }
    // The entry counts for the schedule even when the file cannot be opened, so a broken log
    // complains once per interval, not once per line.
    *lastLogTime = static_cast<std::int32_t>(now);
    std::FILE* file = std::fopen(kLogFileName, "a+");
    if (file == nullptr) {
        std::printf("\nError opening log file");
        std::fflush(stdout);
        return;
    }
    const int written = std::fprintf(file, "%s", line);
    const int closed = std::fclose(file);
    if (written < 0 || closed != 0) {
        std::printf("\nError writing log file");
        std::fflush(stdout);
    }
}
