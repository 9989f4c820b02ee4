// The series of a chart, reduced while the log is read to what an image can show of them: a log
// of any length becomes at most a few points per pixel column.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "plot/log_reader.h"

namespace quorvane::plot {

// A moment on the log's clock (Timestamp::localSeconds) and a temperature.
struct Point {
    std::int64_t time = 0;
    double value = 0;

    friend bool operator==(const Point&, const Point&) = default;
};

// A slice of the time axis no wider than a pixel column, as one series passes through it: its
// first and last entry there, and its lowest and highest, which is all that a line through
// every entry can show in that column.
struct Column {
    Point first;
    Point low;
    Point high;
    Point last;
    // The line comes into this column from the series' column before. It does not where the log
    // has a gap, where the unit changes and where the clock was set back.
    bool joined = false;

    // The points to draw, in the order of time, each once.
    std::vector<Point> points() const;
};

struct Series {
    Unit logged = Unit::Celsius;  // the unit its entries were logged in
    // In the order of time, but where the clock was set back (the hour that repeats when
    // daylight saving time ends, or a second run whose times overlap the first's) the columns
    // from there on follow, in the order of time again, after those of the times before.
    std::vector<Column> columns;
};

struct ChartData {
    Unit unit = Unit::Celsius;   // the unit every series is drawn in
    std::vector<Series> series;  // in the order in which their units first appear
    std::int64_t first = 0;      // the times of the earliest and of the latest entry
    std::int64_t last = 0;
};

// A step from one entry to the next is a gap, where the line breaks, when it is longer than
// kGapFactor times the median of the kSpacingWindow steps before it: the log's usual spacing
// just there, which a run logging at another interval soon sets anew.
inline constexpr std::int64_t kGapFactor = 5;
inline constexpr std::size_t kSpacingWindow = 31;

// A series keeps what comes after each setting back of the clock apart from what came before,
// so that the two lines over the same times are not merged into one. Beyond this many such
// stretches (a clock gone wild) later entries join the latest one, and memory stays bounded.
inline constexpr std::size_t kMaxStretches = 64;

// The median of the latest steps between entries.
class Spacing {
  public:
    void add(std::int64_t step);
    void clear() { count_ = 0; }
    std::optional<std::int64_t> median() const;

  private:
    std::array<std::int64_t, kSpacingWindow> latest_{};  // a ring, oldest at next_ when full
    std::array<std::int64_t, kSpacingWindow> sorted_{};  // the same steps in order
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

// Takes the entries in the order of the log. Without a unit asked for, the entries of each unit
// form a series of their own, drawn in the unit of the last entry; with one, every entry is
// converted to it and all form one series. Either way a change of unit breaks the line.
class SeriesReducer {
  public:
    // `columns`: the columns the image has across its time span, its width in pixels.
    SeriesReducer(int columns, std::optional<Unit> unit);

    void add(const Entry& entry);
    std::size_t entries() const { return entries_; }
    // The series as they stand; at least one entry must have been added.
    ChartData finish() const;

  private:
    // The columns of a track between two settings back of the clock.
    struct Stretch {
        std::map<std::int64_t, Column> columns;           // by slice
        std::map<std::int64_t, Column>::iterator latest;  // the slice of its latest entry
        std::int64_t latestTime = 0;
    };
    struct Track {
        Unit logged;
        std::vector<Stretch> stretches;  // at least one once the track has an entry
    };

    Track& trackFor(Unit unit);
    static Stretch& stretchFor(Track& track, std::int64_t time);
    std::int64_t sliceOf(std::int64_t time) const;
    void coarsen();

    std::optional<Unit> unit_;
    std::int64_t slices_;  // at most this many slices, at least half as many, once time spans them
    std::vector<Track> tracks_;
    // Slice k holds the times from origin_ + k * width_ on; all tracks share the slices.
    std::int64_t origin_ = 0;
    std::int64_t width_ = 1;
    std::int64_t lowSlice_ = 0;
    std::int64_t highSlice_ = 0;
    std::size_t entries_ = 0;
    std::int64_t first_ = 0;
    std::int64_t last_ = 0;
    std::int64_t previousTime_ = 0;
    Unit previousUnit_ = Unit::Celsius;
    Spacing spacing_;
};

}  // namespace quorvane::plot
