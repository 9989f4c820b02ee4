#include "plot/series.h"

#include <algorithm>

namespace quorvane::plot {

namespace {

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - (a % b != 0 && a < 0 ? 1 : 0);
}

// Columns side by side in time become one.
Column merge(const Column& left, const Column& right) {
    Column both = left;
    both.last = right.last;
    if (right.low.value < both.low.value) {
        both.low = right.low;
    }
    if (right.high.value > both.high.value) {
        both.high = right.high;
    }
    return both;
}

}  // namespace

std::vector<Point> Column::points() const {
    std::vector<Point> points{first};
    const auto add = [&points](const Point& p) {
        if (!(points.back() == p)) {
            points.push_back(p);
        }
    };
    add(low.time <= high.time ? low : high);
    add(low.time <= high.time ? high : low);
    add(last);
    return points;
}

void Spacing::add(std::int64_t step) {
    std::int64_t* const first = sorted_.data();
    if (count_ == kSpacingWindow) {
        const std::int64_t oldest = latest_[next_];
        if (oldest == step) {  // a regular log: nothing moves
            next_ = (next_ + 1) % kSpacingWindow;
            return;
        }
        std::int64_t* const at = std::lower_bound(first, first + count_, oldest);
        std::copy(at + 1, first + count_, at);
        --count_;
    }
    std::int64_t* const last = first + count_;
    std::int64_t* const at = std::upper_bound(first, last, step);
    std::copy_backward(at, last, last + 1);
    *at = step;
    ++count_;
    latest_[next_] = step;
    next_ = (next_ + 1) % kSpacingWindow;
}

std::optional<std::int64_t> Spacing::median() const {
    if (count_ == 0) {
        return std::nullopt;
    }
    return sorted_[count_ / 2];
}

SeriesReducer::SeriesReducer(int columns, std::optional<Unit> unit)
    : unit_(unit), slices_(2 * static_cast<std::int64_t>(std::max(columns, 1))) {
    // One track per unit at most: never moved, so that their iterators hold.
    tracks_.reserve(3);
}

void SeriesReducer::add(const Entry& entry) {
    const std::int64_t time = entry.time.localSeconds();
    const Point point{time, unit_ ? convert(entry.value, entry.unit, *unit_) : entry.value};
    // The line goes on from the entry before unless the unit changed, the step is a gap or the
    // clock was set back.
    bool joins = false;
    if (entries_ > 0 && entry.unit == previousUnit_) {
        const std::int64_t step = time - previousTime_;
        const auto usual = spacing_.median();
        joins = step >= 0 && !(usual && step > kGapFactor * *usual);
        if (step > 0) {
            spacing_.add(step);
        }
    } else {
        spacing_.clear();
    }
    if (entries_ == 0) {
        origin_ = first_ = last_ = time;
    }
    first_ = std::min(first_, time);
    last_ = std::max(last_, time);
    previousTime_ = time;
    previousUnit_ = entry.unit;
    ++entries_;

    std::int64_t slice = sliceOf(time);
    while (std::max(highSlice_, slice) - std::min(lowSlice_, slice) >= slices_) {
        coarsen();
        slice = sliceOf(time);
    }
    lowSlice_ = std::min(lowSlice_, slice);
    highSlice_ = std::max(highSlice_, slice);

    Stretch& stretch = stretchFor(trackFor(entry.unit), time);
    const bool fromLeft =
        joins && stretch.latest != stretch.columns.end() && stretch.latest->first < slice;
    if (stretch.latest == stretch.columns.end() || stretch.latest->first != slice) {
        const auto [at, added] =
            stretch.columns.try_emplace(slice, Column{point, point, point, point});
        stretch.latest = at;
    }
    stretch.latestTime = time;
    Column& column = stretch.latest->second;
    if (time < column.first.time) {
        column.first = point;
    }
    if (time >= column.last.time) {
        column.last = point;
    }
    if (point.value < column.low.value) {
        column.low = point;
    }
    if (point.value > column.high.value) {
        column.high = point;
    }
    column.joined = column.joined || fromLeft;
}

ChartData SeriesReducer::finish() const {
    ChartData data{unit_.value_or(previousUnit_), {}, first_, last_};
    for (const Track& track : tracks_) {
        Series& series = data.series.emplace_back(Series{track.logged, {}});
        for (const Stretch& stretch : track.stretches) {
            for (const auto& [slice, column] : stretch.columns) {
                Column shown = column;
                for (Point* p : {&shown.first, &shown.low, &shown.high, &shown.last}) {
                    p->value = convert(p->value, track.logged, data.unit);
                }
                series.columns.push_back(shown);
            }
        }
    }
    return data;
}

SeriesReducer::Track& SeriesReducer::trackFor(Unit unit) {
    const Unit logged = unit_.value_or(unit);
    for (Track& track : tracks_) {
        if (track.logged == logged) {
            return track;
        }
    }
    Track& track = tracks_.emplace_back(Track{logged, {}});
    // Never moved either, for the same reason.
    track.stretches.reserve(kMaxStretches);
    return track;
}

// The stretch an entry at `time` belongs to: a new one when the clock went back behind the
// track's latest entry.
SeriesReducer::Stretch& SeriesReducer::stretchFor(Track& track, std::int64_t time) {
    if (track.stretches.empty() ||
        (time < track.stretches.back().latestTime && track.stretches.size() < kMaxStretches)) {
        Stretch& stretch = track.stretches.emplace_back();
        stretch.latest = stretch.columns.end();
        stretch.latestTime = time;
    }
    return track.stretches.back();
}

std::int64_t SeriesReducer::sliceOf(std::int64_t time) const {
    return floorDiv(time - origin_, width_);
}

// Twice as wide slices, each holding what two held, when the time span outgrows them.
void SeriesReducer::coarsen() {
    width_ *= 2;
    lowSlice_ = floorDiv(lowSlice_, 2);
    highSlice_ = floorDiv(highSlice_, 2);
    for (Track& track : tracks_) {
        for (Stretch& stretch : track.stretches) {
            const std::int64_t latest =
                stretch.latest == stretch.columns.end() ? 0 : floorDiv(stretch.latest->first, 2);
            std::map<std::int64_t, Column> wider;
            for (const auto& [slice, column] : stretch.columns) {
                const auto [at, added] = wider.try_emplace(floorDiv(slice, 2), column);
                if (!added) {
                    at->second = merge(at->second, column);
                }
            }
            stretch.columns = std::move(wider);
            stretch.latest = stretch.columns.find(latest);
        }
    }
}

}  // namespace quorvane::plot
