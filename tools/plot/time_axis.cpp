#include "plot/time_axis.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/shown_line.h"

namespace quorvane::plot {

namespace {

using tools::Timestamp;

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kWeek = 7 * kDay;
// Day 0, 1970-01-01, was a Thursday: weeks begin on Mondays, four days later.
constexpr std::int64_t kFirstMonday = 4 * kDay;

// What the labels of a step show.
enum class Shows { Seconds, Minutes, Days, Months, Years };

struct Step {
    std::int64_t size;  // seconds, or months or years for those
    Shows shows;
};

constexpr std::array kSteps{
    Step{1, Shows::Seconds},
    Step{2, Shows::Seconds},
    Step{5, Shows::Seconds},
    Step{10, Shows::Seconds},
    Step{15, Shows::Seconds},
    Step{30, Shows::Seconds},
    Step{kMinute, Shows::Minutes},
    Step{2 * kMinute, Shows::Minutes},
    Step{5 * kMinute, Shows::Minutes},
    Step{10 * kMinute, Shows::Minutes},
    Step{15 * kMinute, Shows::Minutes},
    Step{30 * kMinute, Shows::Minutes},
    Step{kHour, Shows::Minutes},
    Step{2 * kHour, Shows::Minutes},
    Step{3 * kHour, Shows::Minutes},
    Step{6 * kHour, Shows::Minutes},
    Step{12 * kHour, Shows::Minutes},
    Step{kDay, Shows::Days},
    Step{2 * kDay, Shows::Days},
    Step{kWeek, Shows::Days},
    Step{2 * kWeek, Shows::Days},
    Step{1, Shows::Months},
    Step{2, Shows::Months},
    Step{3, Shows::Months},
    Step{6, Shows::Months},
    Step{1, Shows::Years},
    Step{2, Shows::Years},
    Step{5, Shows::Years},
    Step{10, Shows::Years},
    Step{20, Shows::Years},
    Step{50, Shows::Years},
    Step{100, Shows::Years},
    Step{200, Shows::Years},
    Step{500, Shows::Years},
    Step{1000, Shows::Years},
};

// The shortest distance between two ticks of the step, in seconds.
std::int64_t shortest(const Step& step) {
    switch (step.shows) {
        case Shows::Months:
            return step.size * 28 * kDay;
        case Shows::Years:
            return step.size * 365 * kDay;
        default:
            return step.size;
    }
}

// What the span of the axis covers beyond one day, and beyond one year.
struct Span {
    Timestamp from;
    Timestamp to;
    bool days;
    bool years;
};

std::string label(const Timestamp& t, Shows shows, const Span& span) {
    char text[24];
    switch (shows) {
        case Shows::Seconds:
        case Shows::Minutes: {
            const int n =
                shows == Shows::Seconds
                    ? std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second)
                    : std::snprintf(text, sizeof text, "%02d:%02d", t.hour, t.minute);
            if (span.days) {
                std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "\n%02d/%02d",
                              t.month, t.day);
            }
            break;
        }
        case Shows::Days:
            std::snprintf(text, sizeof text, span.years ? "%02d/%02d\n%04d" : "%02d/%02d", t.month,
                          t.day, t.year);
            break;
        case Shows::Months:
            std::snprintf(text, sizeof text, "%02d/%04d", t.month, t.year);
            break;
        case Shows::Years:
            std::snprintf(text, sizeof text, "%04d", t.year);
            break;
    }
    return text;
}

std::string title(Shows shows, const Span& span) {
    char text[80];
    const char* clock = shows == Shows::Seconds ? "HH:MM:SS" : "HH:MM";
    switch (shows) {
        case Shows::Seconds:
        case Shows::Minutes:
            if (!span.days) {
                std::snprintf(text, sizeof text, "Time (%s, local, %02d/%02d/%04d)", clock,
                              span.from.month, span.from.day, span.from.year);
            } else if (!span.years) {
                std::snprintf(text, sizeof text, "Time (%s and MM/DD, local, %04d)", clock,
                              span.from.year);
            } else {
                std::snprintf(text, sizeof text, "Time (%s and MM/DD, local, %04d to %04d)", clock,
                              span.from.year, span.to.year);
            }
            break;
        case Shows::Days:
            if (span.years) {
                std::snprintf(text, sizeof text, "Time (MM/DD and year, local)");
            } else {
                std::snprintf(text, sizeof text, "Time (MM/DD, local, %04d)", span.from.year);
            }
            break;
        case Shows::Months:
            std::snprintf(text, sizeof text, "Time (MM/YYYY, local)");
            break;
        case Shows::Years:
            std::snprintf(text, sizeof text, "Time (year, local)");
            break;
    }
    return text;
}

// The ticks of a step of the calendar: the first of every size-th month (or January of every
// size-th year) within the span.
std::vector<std::int64_t> calendarTicks(std::int64_t from, std::int64_t to, const Step& step) {
    const std::int64_t perStep = step.shows == Shows::Years ? 12 * step.size : step.size;
    const Timestamp start = Timestamp::fromLocalSeconds(from);
    std::int64_t month = static_cast<std::int64_t>(start.year) * 12 + start.month - 1;
    if (Timestamp{start.year, start.month, 1, 0, 0, 0}.localSeconds() < from) {
        ++month;
    }
    month = (month + perStep - 1) / perStep * perStep;
    std::vector<std::int64_t> ticks;
    for (;; month += perStep) {
        const std::int64_t at =
            Timestamp{static_cast<int>(month / 12), static_cast<int>(month % 12) + 1, 1, 0, 0, 0}
                .localSeconds();
        if (at > to) {
            return ticks;
        }
        ticks.push_back(at);
    }
}

std::vector<std::int64_t> tickTimes(std::int64_t from, std::int64_t to, const Step& step) {
    if (step.shows == Shows::Months || step.shows == Shows::Years) {
        return calendarTicks(from, to, step);
    }
    const std::int64_t offset = step.size % kWeek == 0 ? kFirstMonday : 0;
    std::int64_t at = from - offset;
    at = (at >= 0 ? (at + step.size - 1) / step.size : at / step.size) * step.size + offset;
    std::vector<std::int64_t> ticks;
    for (; at <= to; at += step.size) {
        ticks.push_back(at);
    }
    return ticks;
}

}  // namespace

int labelWidth(const std::string& label) {
    const std::size_t newline = label.find('\n');
    const std::size_t longest =
        newline == std::string::npos ? label.size() : std::max(newline, label.size() - newline - 1);
    return static_cast<int>(longest + 2) * kCharWidth;
}

TimeAxis timeAxis(std::int64_t from, std::int64_t to, int width) {
    const Timestamp first = Timestamp::fromLocalSeconds(from);
    const Timestamp last = Timestamp::fromLocalSeconds(to);
    const Span span{first, last,
                    first.year != last.year || first.month != last.month || first.day != last.day,
                    first.year != last.year};
    const double pixelsPerSecond = static_cast<double>(std::max(width, 1)) /
                                   static_cast<double>(std::max<std::int64_t>(to - from, 1));
    const Step* chosen = &kSteps.back();
    for (const Step& step : kSteps) {
        if (static_cast<double>(shortest(step)) * pixelsPerSecond >=
            labelWidth(label(first, step.shows, span))) {
            chosen = &step;
            break;
        }
    }
    TimeAxis axis{{}, title(chosen->shows, span)};
    for (const std::int64_t at : tickTimes(from, to, *chosen)) {
        axis.ticks.push_back({at, label(Timestamp::fromLocalSeconds(at), chosen->shows, span)});
    }
    return axis;
}

}  // namespace quorvane::plot
