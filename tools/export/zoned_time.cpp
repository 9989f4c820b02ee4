#include "export/zoned_time.h"

#include <array>
#include <cstdio>
#include <cstdlib>

namespace quorvane::exporter {

namespace {

// Whether the local clock, at this offset, really showed the stamp.
bool shows(const tools::Timestamp& s, long offset) {
    const auto instant = static_cast<std::time_t>(s.localSeconds() - offset);
    std::tm local{};
    return localtime_r(&instant, &local) != nullptr && local.tm_gmtoff == offset &&
           local.tm_year + 1900 == s.year && local.tm_mon + 1 == s.month &&
           local.tm_mday == s.day && local.tm_hour == s.hour && local.tm_min == s.minute &&
           local.tm_sec == s.second;
}

}  // namespace

ZonedTime placeStamp(const tools::Timestamp& stamp, std::time_t arrival) {
    std::tm now{};
    const long arrivalOffset = localtime_r(&arrival, &now) != nullptr ? now.tm_gmtoff : 0;
    long offset = arrivalOffset;
    // The stamp as it reads, counted as if it were UTC; an offset moves it onto the time line.
    const std::int64_t asRead = stamp.localSeconds();
    // The offsets the stamp's date had, standard and daylight time.
    std::array<long, 3> offsets{};
    std::size_t found = 0;
    for (const int isDst : {-1, 0, 1}) {
        std::tm local{};
        local.tm_year = stamp.year - 1900;
        local.tm_mon = stamp.month - 1;
        local.tm_mday = stamp.day;
        local.tm_hour = stamp.hour;
        local.tm_min = stamp.minute;
        local.tm_sec = stamp.second;
        local.tm_isdst = isDst;
        if (std::mktime(&local) != -1 && shows(stamp, local.tm_gmtoff)) {
            offsets[found++] = local.tm_gmtoff;
        }
    }
    if (!shows(stamp, offset) && found > 0) {
        // A stamp from another season (input replayed from a file): the offset the clock really
        // showed it with.
        offset = offsets[0];
    }
    // A stamp the clock never showed (a leap second, the hour skipped in spring) keeps the offset
    // of its arrival.
    //
    // In the hour that repeats, a reading stamped just before the clock went back may arrive
    // just after: the offset in force then would date it after its own arrival, which no
    // reading can be.
    if (asRead - offset > arrival) {
        for (std::size_t i = 0; i < found; ++i) {
            if (asRead - offsets[i] <= arrival) {
                offset = offsets[i];
                break;
            }
        }
    }
    return {asRead - offset, offset};
}

std::string iso8601(const tools::Timestamp& s, long utcOffset) {
    const long minutes = std::labs(utcOffset) / 60;
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", s.year,
                  s.month, s.day, s.hour, s.minute, s.second, utcOffset < 0 ? '-' : '+',
                  minutes / 60, minutes % 60);
    return text.data();
}

}  // namespace quorvane::exporter
